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

}  // namespace testing_support
