#include "tools/pack_check/container_check.h"

#include <algorithm>
#include <set>
#include <string>

#include "text/text.h"
#include "tools/commands.h"

namespace tools::pack_check {

bool CheckContainer(const PackageFile& package, Findings& findings) {
  const container::HeaderTable& headers = package.Headers();
  if (!headers.ok()) {
    findings.Error("container", container::DescribeHeaderError(headers) +
                                    "; the terminal cannot load the package's headers");
    return false;
  }
  container::ChecksumReader checksum(package.Length());
  if (sim::Status summed = package.Sum(&checksum); !summed) {
    findings.Error("package", "cannot be read");
    return false;
  }
  if (!checksum.Holds()) {
    findings.Error("container",
                   text::Sprintf("checksum stored 0x%08X, computed 0x%08X; the terminal "
                                 "refuses the package (CHECKSUM FAILED)",
                                 checksum.Stored(), checksum.Computed()));
  }
  std::set<std::string> seen;
  for (const container::Entry& entry : headers.entries) {
    const std::string where = MemberWhere(entry.name);
    if (!container::DataInside(entry, headers.headerLength, package.Length())) {
      findings.Error(where, text::Sprintf("its %u bytes at offset %u do not lie between the "
                                          "header part and the checksum",
                                          entry.fileLen, entry.offset));
    }
    if (text::Utf16Length(entry.name) > kMaxNameUnits) {
      findings.Error(where, "the name is longer than the terminal's 255 characters");
    }
    if (std::any_of(entry.name.begin(), entry.name.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
      findings.Warn(where,
                    "the name holds control characters (shown as \\xNN), which no file name on "
                    "the terminal may hold: a member extracted under its own name fails");
    }
    if (!seen.insert(text::ToUpper(entry.name)).second) {
      findings.Warn(where,
                    "an earlier member has the same name without regard to case; the terminal "
                    "always finds the earlier one, so this one is never read");
    }
  }
  return true;
}

}  // namespace tools::pack_check
