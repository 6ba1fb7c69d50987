#include "support/package_builder.h"

#include <gtest/gtest.h>

#include "package/container_format.h"

namespace testing_support {

std::string BuildPackage(const std::vector<PackageMember>& members) {
  std::vector<container::Member> list;
  for (const PackageMember& member : members) {
    container::Member entry;
    entry.name = member.name;
    entry.contents = member.contents;
    list.push_back(entry);
  }
  container::VectorSink sink;
  std::string error;
  EXPECT_TRUE(container::WriteContainer(list, {}, sink, &error)) << error;
  return {sink.Bytes().begin(), sink.Bytes().end()};
}

std::string ApplicationSettings(const std::string& version, const std::string& script) {
  return "[SoftwareToUpdate]\r\nUpdate1=Application\r\n"
         "[Application]\r\nAppSoftware1=Application|" + version + "|AppScript\r\n"
         "[AppScript]\r\n###CommandStart###\r\n" + script + "###CommandEnd###\r\n";
}

std::string BigMember() {
  std::string big(1300 * 1024, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 11));
  return big;
}

}  // namespace testing_support
