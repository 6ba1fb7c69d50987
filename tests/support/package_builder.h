// Update packages for tests, built with the package writer.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct PackageMember {
  std::string name;
  std::string contents;
};

// The stored bytes of a package holding the members in order.
std::string BuildPackage(const std::vector<PackageMember>& members);

// Settings with an application script, for packages that update the application.
std::string ApplicationSettings(const std::string& version, const std::string& script);

// A member larger than the 262,144-byte transfer buffer and than a 1 MiB cache fill, so that it
// is read in pieces, with bytes that do not repeat at either size.
std::string BigMember();

}  // namespace testing_support
