// vostrel pack: build, list, verify and extract update packages on the host.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "flash/image_format.h"
#include "package/container_format.h"
#include "settings/phase_members.h"
#include "settings/settings.h"
#include "sim/image_cipher.h"
#include "text/text.h"
#include "tools/commands.h"
#include "tools/host_files.h"
#include "tools/image_tools.h"
#include "tools/package_file.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr int kExitBadPackage = 1;
// Shorter work than this finishes before a progress bar would be read.
constexpr uint64_t kProgressThreshold = 16ULL << 20;

int PackError(const std::string& message, int code = kExitBadPackage) {
  std::fprintf(stderr, "vostrel pack: %s\n", message.c_str());
  return code;
}

// A progress bar on stderr, shown only when stderr is a terminal and the work is long.
class ProgressBar {
 public:
  ProgressBar(std::string label, uint64_t total)
      : m_label(std::move(label)),
        m_total(total),
        m_enabled(total >= kProgressThreshold && ::isatty(STDERR_FILENO) == 1) {}
  ~ProgressBar() {
    if (m_shown) std::fprintf(stderr, "\r\033[K");
  }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Update(uint64_t done) {
    if (!m_enabled) return;
    const int percent = static_cast<int>(std::min<uint64_t>(done * 100 / m_total, 100));
    if (percent == m_percent) return;
    m_percent = percent;
    m_shown = true;
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r%s [%s%s] %3d%%", m_label.c_str(), std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, ' ').c_str(), percent);
    std::fflush(stderr);
  }

 private:
  std::string m_label;
  uint64_t m_total;
  bool m_enabled;
  bool m_shown = false;
  int m_percent = -1;
};

// A member's contents in a host file, opened at the first read and closed at its end.
class HostFileContent final : public container::ContentSource {
 public:
  explicit HostFileContent(fs::path path) : m_path(std::move(path)) {}
  bool Read(std::span<uint8_t> buffer, std::size_t* read) override {
    *read = 0;
    if (m_done) return true;
    if (m_fd.Get() < 0) {
      m_fd.Reset(::open(m_path.c_str(), O_RDONLY | O_CLOEXEC));
      if (m_fd.Get() < 0) return Failed();
      ::posix_fadvise(m_fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    if (!host::ReadFully(m_fd.Get(), buffer.data(), buffer.size(), read)) return Failed();
    if (*read == 0) {
      m_fd.Reset();
      m_done = true;
    }
    return true;
  }
  // The host file and the reason when a read failed.
  const std::string& Error() const { return m_error; }

 private:
  bool Failed() {
    m_error = m_path.string() + ": " + host::ErrnoText(errno);
    return false;
  }

  fs::path m_path;
  host::Fd m_fd;
  bool m_done = false;
  std::string m_error;
};

class FdSink final : public container::ByteSink {
 public:
  explicit FdSink(int fd) : m_fd(fd) {}
  bool Write(std::span<const uint8_t> bytes) override {
    return host::WriteFully(m_fd, bytes.data(), bytes.size());
  }

 private:
  int m_fd;
};

// Why a package whose header part parses is still unusable, or nothing.
std::optional<std::string> FindBadMember(const PackageFile& package) {
  const container::HeaderTable& table = package.Headers();
  for (const container::Entry& entry : table.entries) {
    if (!container::DataInside(entry, table.headerLength, package.Length())) {
      return text::Sprintf(
          "the data of \"%s\" (offset %u, length %u) do not lie between the header part "
          "(%llu bytes) and the checksum",
          entry.name, entry.offset, entry.fileLen,
          static_cast<unsigned long long>(table.headerLength));
    }
  }
  return std::nullopt;
}

std::string Hex32(uint32_t value) { return text::Sprintf("0x%08X", value); }

// ---------------------------------------------------------------------------------------------
// build

struct BuildArgs {
  std::string out;
  std::string ini;
  std::string dir;
  std::string keyMaterial;  // hexadecimal; empty: the pass phrase
};

// A member whose stored bytes were made here (an encrypted image).
class MemoryContent final : public container::ContentSource {
 public:
  explicit MemoryContent(std::string bytes) : m_bytes(std::move(bytes)) {}
  bool Read(std::span<uint8_t> buffer, std::size_t* read) override {
    *read = std::min(buffer.size(), m_bytes.size() - m_at);
    std::memcpy(buffer.data(), m_bytes.data() + m_at, *read);
    m_at += *read;
    return true;
  }
  uint64_t Length() const { return m_bytes.size(); }

 private:
  std::string m_bytes;
  std::size_t m_at = 0;
};

struct HostMember {
  std::string name;
  fs::path path;
  uint32_t attrib = container::kAttribNormal;
  uint64_t length = 0;
};

// Why the name cannot be stored in a package for the terminal, or nothing.
std::optional<std::string> CheckMemberName(const std::string& name) {
  if (name.empty()) return "an empty member name";
  if (!text::IsUtf8(name)) return "the name \"" + name + "\" is not valid UTF-8";
  if (text::Utf16Length(name) > kMaxNameUnits) {
    return text::Sprintf("the name \"%s\" is longer than %zu UTF-16 units", name, kMaxNameUnits);
  }
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("\"<>:*?|", c) != nullptr) {
      return "the name \"" + name + "\" holds a character the terminal cannot store in a name";
    }
  }
  return std::nullopt;
}

bool StatMember(HostMember* member, std::string* error) {
  struct stat st {};
  if (::stat(member->path.c_str(), &st) != 0) {
    *error = member->path.string() + ": " + host::ErrnoText(errno);
    return false;
  }
  member->length = static_cast<uint64_t>(st.st_size);
  member->attrib =
      (st.st_mode & S_IWUSR) == 0 ? container::kAttribReadOnly : container::kAttribNormal;
  return true;
}

// The files below folder as members, sorted by name; false with a message.
bool CollectFolder(const fs::path& folder, const fs::path& out, std::vector<HostMember>* members,
                   std::string* error) {
  auto files = host::ListFiles(folder);
  if (!files) {
    *error = files.error();
    return false;
  }
  for (const fs::path& relative : *files) {
    HostMember member;
    member.path = folder / relative;
    std::error_code sameError;
    if (fs::equivalent(member.path, out, sameError)) continue;  // an earlier build of OUT
    for (const fs::path& part : relative) {
      const std::string component = part.string();
      if (component.find('\\') != std::string::npos) {
        *error = member.path.string() + ": a backslash in a file name would read as a folder";
        return false;
      }
      member.name += (member.name.empty() ? "" : "\\") + component;
    }
    if (!StatMember(&member, error)) return false;
    members->push_back(std::move(member));
  }
  std::sort(members->begin(), members->end(),
            [](const HostMember& a, const HostMember& b) { return a.name < b.name; });
  return true;
}

// Lays out the members of a build and checks their names; false with a message.
bool GatherMembers(const BuildArgs& args, std::vector<HostMember>* members, std::string* error) {
  if (!args.ini.empty()) {
    HostMember settings;
    settings.name = kSettingsName;
    settings.path = args.ini;
    if (!StatMember(&settings, error)) return false;
    members->push_back(std::move(settings));
  }
  std::vector<HostMember> files;
  if (!args.dir.empty() && !CollectFolder(args.dir, args.out, &files, error)) return false;
  std::map<std::string, std::string> seen;  // upper-case name to the name
  if (!members->empty()) seen[text::ToUpper(kSettingsName)] = kSettingsName;
  for (HostMember& file : files) {
    if (std::optional<std::string> bad = CheckMemberName(file.name)) {
      *error = file.path.string() + ": " + *bad;
      return false;
    }
    const auto [it, added] = seen.emplace(text::ToUpper(file.name), file.name);
    if (!added) {
      if (it->second == kSettingsName && !args.ini.empty()) {
        *error = file.path.string() + ": the folder holds \"" + file.name +
                 "\", which would clash with the settings file given by --ini";
      } else {
        *error = file.path.string() + ": the member name \"" + file.name + "\" differs from \"" +
                 it->second + "\" only in case, and the terminal would find only the first";
      }
      return false;
    }
    members->push_back(std::move(file));
  }
  return true;
}

// Warns about every file that the settings name and the package lacks: the terminal would
// fail on it in the middle of an update.
void WarnAboutMissingMembers(const std::vector<HostMember>& members,
                             const std::string& settingsBytes) {
  CUpdateSettings loaded;
  loaded.LoadFromBytes(settingsBytes);
  for (const UpdatePhase phase : {UpdatePhase::kGPS, UpdatePhase::kApplication, UpdatePhase::kOS}) {
    for (const PhaseItem& item : PhaseItems(loaded, phase, ScriptTokens::kAsWritten)) {
      // A name with a date token is known only on the terminal, at the time of the update.
      if (!item.splits || item.text.find('<') != std::string::npos) continue;
      const bool present = std::any_of(members.begin(), members.end(), [&](const HostMember& m) {
        return text::EqualsNoCase(m.name, item.text);
      });
      if (!present) {
        std::fprintf(stderr,
                     "vostrel pack: warning: the settings name \"%s\", which is not in the "
                     "package\n",
                     item.text.c_str());
      }
    }
  }
}

int RunBuild(const BuildArgs& args) {
  if (args.ini.empty() && args.dir.empty()) {
    return PackError("nothing to pack: give --ini, --dir or both", kExitUsage);
  }
  std::vector<HostMember> hostMembers;
  std::string error;
  if (!GatherMembers(args, &hostMembers, &error)) return PackError(error);
  const auto settingsMember =
      std::find_if(hostMembers.begin(), hostMembers.end(),
                   [](const HostMember& m) { return text::EqualsNoCase(m.name, kSettingsName); });
  // The .BIN images that the OS definitions name travel encrypted.
  std::vector<std::string> encrypted;
  if (settingsMember != hostMembers.end()) {
    auto settings = host::ReadFile(settingsMember->path);
    if (!settings) return PackError(settings.error());
    WarnAboutMissingMembers(hostMembers, *settings);
    encrypted = EncryptedImageNames(*settings);
  } else {
    std::fprintf(stderr,
                 "vostrel pack: warning: the package has no member \"%s\"; the terminal will "
                 "find it invalid\n",
                 kSettingsName);
  }

  const std::optional<std::string> keyMaterial = KeyMaterialFromHex(args.keyMaterial);
  if (!keyMaterial) {
    return PackError("--key-material: expected 1 to 100 bytes as hexadecimal digits", kExitUsage);
  }
  std::vector<std::unique_ptr<HostFileContent>> sources;
  std::vector<std::unique_ptr<MemoryContent>> made;
  std::vector<container::Member> members;
  bool warnedPassPhrase = false;
  for (const HostMember& file : hostMembers) {
    container::Member member;
    member.name = file.name;
    member.attrib = file.attrib;
    const bool isImage = std::any_of(encrypted.begin(), encrypted.end(), [&](const auto& name) {
      return text::EqualsNoCase(name, file.name);
    });
    if (isImage) {
      if (args.keyMaterial.empty() && !warnedPassPhrase) {
        std::fprintf(stderr,
                     "vostrel pack: warning: no --key-material: the images are encrypted with "
                     "the fixed pass phrase, which only terminals without key material use\n");
        warnedPassPhrase = true;
      }
      auto plain = host::ReadFile(file.path);
      if (!plain) return PackError("cannot build " + args.out + ": " + plain.error());
      made.push_back(
          std::make_unique<MemoryContent>(EncryptImageMember(file.name, *plain, *keyMaterial)));
      member.source = made.back().get();
      member.length = made.back()->Length();
    } else {
      sources.push_back(std::make_unique<HostFileContent>(file.path));
      member.source = sources.back().get();
      member.length = file.length;
    }
    members.push_back(std::move(member));
  }

  // Built under a temporary name beside OUT, so that a failure leaves no half package.
  const std::string temporary = args.out + ".partial-" + std::to_string(::getpid());
  host::Fd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (out.Get() < 0) return PackError(temporary + ": " + host::ErrnoText(errno));
  FdSink sink(out.Get());
  container::WriteOptions options;
  uint64_t total = 0;
  for (const container::Member& member : members) total += member.DataLength();
  ProgressBar bar("building " + args.out, total);
  options.progress = [&bar](uint64_t done, uint64_t) { bar.Update(done); };
  bool ok = container::WriteContainer(members, options, sink, &error);
  if (!ok) {
    for (const auto& source : sources) {
      if (!source->Error().empty()) error = source->Error();
    }
  }
  if (::close(out.Release()) != 0 && ok) {
    ok = false;
    error = temporary + ": " + host::ErrnoText(errno);
  }
  if (ok && ::rename(temporary.c_str(), args.out.c_str()) != 0) {
    ok = false;
    error = args.out + ": " + host::ErrnoText(errno);
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return PackError("cannot build " + args.out + ": " + error);
  }
  container::Layout layout;
  (void)container::PlanLayout(members, &layout, &error);
  std::printf("Built %s: %zu member%s, %llu bytes\n", args.out.c_str(), members.size(),
              members.size() == 1 ? "" : "s",
              static_cast<unsigned long long>(layout.containerLength));
  return 0;
}

// ---------------------------------------------------------------------------------------------
// list and verify

struct ListArgs {
  std::string package;
  bool json = false;
};

// The members the terminal reads as encrypted .BIN images, by the package's own settings.
std::vector<std::string> EncryptedMembers(const PackageFile& package) {
  const container::Entry* entry = package.Find(kSettingsName);
  std::string settings;
  if (entry == nullptr || !package.ReadMember(*entry, &settings)) return {};
  return EncryptedImageNames(settings);
}

// Sums the whole package, with a progress bar.
sim::Status SumPackage(const PackageFile& package, container::ChecksumReader* checksum,
                       const char* progressLabel) {
  ProgressBar bar(progressLabel, package.Length());
  return package.Sum(checksum, [&bar](uint64_t done) { bar.Update(done); });
}

int RunList(const ListArgs& args) {
  auto opened = PackageFile::Open(args.package);
  if (!opened) return PackError(opened.error());
  const PackageFile& package = *opened;
  container::ChecksumReader checksum(package.Length());
  if (sim::Status summed = SumPackage(package, &checksum, "checking"); !summed) {
    return PackError(summed.error());
  }
  const container::HeaderTable& table = package.Headers();
  std::optional<std::string> problem;
  if (!table.ok()) {
    problem = container::DescribeHeaderError(table);
  } else if (std::optional<std::string> bad = FindBadMember(package)) {
    problem = *bad;
  }

  const std::vector<std::string> encrypted = EncryptedMembers(package);
  const auto isEncrypted = [&encrypted](const std::string& name) {
    return std::any_of(encrypted.begin(), encrypted.end(),
                       [&name](const std::string& e) { return text::EqualsNoCase(e, name); });
  };
  if (args.json) {
    nlohmann::json members = nlohmann::json::array();
    for (const container::Entry& entry : table.entries) {
      members.push_back({{"name", entry.name},
                         {"attrib", entry.attrib},
                         {"length", entry.fileLen},
                         {"offset", entry.offset},
                         {"entry_length", entry.len},
                         {"encrypted", isEncrypted(entry.name)}});
    }
    nlohmann::json out = {
        {"package", args.package},
        {"length", package.Length()},
        {"size_field", table.mini.size},
        {"num", table.mini.num},
        {"members", members},
        {"checksum",
         {{"stored", checksum.Stored()},
          {"computed", checksum.Computed()},
          {"holds", checksum.Holds()}}},
        {"error", problem ? nlohmann::json(*problem) : nlohmann::json(nullptr)},
        {"signature", ListedSignatureJson(package)},
    };
    std::printf("%s\n", out.dump(2).c_str());
  } else {
    std::printf("%s: %llu bytes, size field %u, %u entries\n", args.package.c_str(),
                static_cast<unsigned long long>(package.Length()), table.mini.size,
                static_cast<unsigned>(table.mini.num));
    std::printf("  %-10s %10s %10s  %s\n", "attrib", "length", "offset", "name");
    for (const container::Entry& entry : table.entries) {
      std::printf("  0x%08X %10u %10u  %s%s\n", entry.attrib, entry.fileLen, entry.offset,
                  PrintableName(entry.name).c_str(),
                  isEncrypted(entry.name) ? "  (encrypted .BIN image)" : "");
    }
    if (checksum.Holds()) {
      std::printf("checksum %s holds\n", Hex32(checksum.Stored()).c_str());
    } else {
      std::printf("checksum fails: stored %s, computed %s\n", Hex32(checksum.Stored()).c_str(),
                  Hex32(checksum.Computed()).c_str());
    }
    if (problem) std::printf("error: %s\n", problem->c_str());
  }
  return problem || !checksum.Holds() ? kExitBadPackage : 0;
}

int RunVerify(const std::string& path) {
  auto opened = PackageFile::Open(path);
  if (!opened) return PackError(opened.error());
  const PackageFile& package = *opened;
  // The terminal reads a file's length in 32 bits: a larger package never checks out there.
  if (package.Length() > 0xFFFFFFFFULL) {
    return PackError(path + ": bad package: " + std::to_string(package.Length()) +
                     " bytes, more than the terminal can address (4 GiB less one byte)");
  }
  if (!package.Headers().ok()) {
    return PackError(path + ": bad package: " + container::DescribeHeaderError(package.Headers()));
  }
  container::ChecksumReader checksum(package.Length());
  const auto plainSum = [&] { return SumPackage(package, &checksum, "verifying"); };
  if (sim::Status summed = SumForVerify(package, &checksum, plainSum); !summed) {
    return PackError(summed.error());
  }
  if (!checksum.Holds()) {
    return PackError(path + ": bad package: the checksum fails: stored " +
                     Hex32(checksum.Stored()) + ", computed " + Hex32(checksum.Computed()));
  }
  if (std::optional<std::string> bad = FindBadMember(package)) {
    return PackError(path + ": bad package: " + *bad);
  }
  const std::size_t count = package.Headers().entries.size();
  std::printf("%s: sound: %zu member%s, checksum %s\n", path.c_str(), count, count == 1 ? "" : "s",
              Hex32(checksum.Stored()).c_str());
  return 0;
}

// ---------------------------------------------------------------------------------------------
// extract

struct ExtractArgs {
  std::string package;
  std::vector<std::string> names;
  std::string dir = ".";
  bool decrypt = false;
  std::string keyMaterial;
};

// Writes the plain bytes of an encrypted image member.
bool ExtractDecrypted(const PackageFile& package, const container::Entry& entry,
                      const fs::path& target, const std::string& keyMaterial, std::string* error) {
  std::string stored;
  if (sim::Status read = package.ReadMember(entry, &stored); !read) {
    *error = read.error();
    return false;
  }
  std::string plain;
  std::string why;
  if (!image_format::DecryptImage(stored, keyMaterial, &plain, &why)) {
    *error = "\"" + entry.name + "\" cannot be decrypted: " + why;
    return false;
  }
  if (sim::Status written = host::WriteFile(target, plain); !written) {
    *error = written.error();
    return false;
  }
  return true;
}

// The member's path below the target folder: its components split at "\" (and "/", which the
// terminal also takes as a separator). Nothing when the name would leave the folder.
std::optional<fs::path> RelativePath(const std::string& name) {
  if (name.empty() || name.front() == '\\' || name.front() == '/') return std::nullopt;
  if (name.find(':') != std::string::npos) return std::nullopt;  // a drive or a device
  fs::path relative;
  std::size_t pos = 0;
  while (pos <= name.size()) {
    std::size_t end = name.find_first_of("\\/", pos);
    if (end == std::string::npos) end = name.size();
    const std::string component = name.substr(pos, end - pos);
    if (component == "..") return std::nullopt;
    if (!component.empty() && component != ".") relative /= component;
    pos = end + 1;
  }
  if (relative.empty() || name.back() == '\\' || name.back() == '/') return std::nullopt;
  return relative;
}

// Refuses a target that a symbolic link already in the folder would send elsewhere, and the
// package itself, which truncating would destroy while it is being read.
sim::Status CheckTarget(const PackageFile& package, const fs::path& dir, const fs::path& relative) {
  fs::path walked = dir;
  for (const fs::path& component : relative) {
    walked /= component;
    struct stat st {};
    if (::lstat(walked.c_str(), &st) != 0) break;  // nothing there yet: it will be made
    if (S_ISLNK(st.st_mode)) {
      return sim::Status::Failure(walked.string() +
                                  ": is a symbolic link; refusing to extract through it");
    }
  }
  struct stat target {};
  struct stat source {};
  if (::stat((dir / relative).c_str(), &target) == 0 &&
      ::stat(package.Path().c_str(), &source) == 0 && target.st_dev == source.st_dev &&
      target.st_ino == source.st_ino) {
    return sim::Status::Failure((dir / relative).string() +
                                ": is the package being read; refusing to overwrite it");
  }
  return {};
}

bool ExtractMember(const PackageFile& package, const container::Entry& entry,
                   const fs::path& target, uint8_t* buffer, ProgressBar& bar, uint64_t* done,
                   std::string* error) {
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  if (ec) {
    *error = target.parent_path().string() + ": " + ec.message();
    return false;
  }
  host::Fd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (out.Get() < 0) {
    *error = target.string() + ": " + host::ErrnoText(errno);
    return false;
  }
  uint64_t offset = entry.offset;
  uint64_t left = entry.fileLen;
  while (left > 0) {
    std::size_t read = 0;
    const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(left, host::kIoChunk));
    if (!package.ReadStored(offset, buffer, want, &read)) {
      *error = package.Path() + ": " + host::ErrnoText(errno);
      return false;
    }
    if (read < want) {
      *error = package.Path() + ": the data of \"" + entry.name + "\" run past the end of the file";
      return false;
    }
    container::Complement({buffer, read});
    if (!host::WriteFully(out.Get(), buffer, read)) {
      *error = target.string() + ": " + host::ErrnoText(errno);
      return false;
    }
    offset += read;
    left -= read;
    *done += read;
    bar.Update(*done);
  }
  return true;
}

int RunExtract(const ExtractArgs& args) {
  auto opened = PackageFile::Open(args.package);
  if (!opened) return PackError(opened.error());
  const PackageFile& package = *opened;
  const container::HeaderTable& table = package.Headers();
  if (!table.ok()) {
    return PackError(args.package + ": bad package: " + container::DescribeHeaderError(table));
  }

  // Each name takes the first member it matches, as the terminal's lookup does.
  std::vector<const container::Entry*> chosen;
  if (args.names.empty()) {
    for (const container::Entry& entry : table.entries) {
      if (package.Find(entry.name) == &entry) chosen.push_back(&entry);
    }
  } else {
    for (const std::string& name : args.names) {
      const container::Entry* entry = package.Find(name);
      if (entry == nullptr) return PackError(args.package + ": no member named \"" + name + "\"");
      if (std::find(chosen.begin(), chosen.end(), entry) == chosen.end()) chosen.push_back(entry);
    }
  }

  std::vector<fs::path> targets;
  uint64_t total = 0;
  for (const container::Entry* entry : chosen) {
    const std::optional<fs::path> relative = RelativePath(entry->name);
    if (!relative) {
      return PackError(args.package + ": refusing the member \"" + entry->name +
                       "\": its name would place it outside " + args.dir);
    }
    if (sim::Status safe = CheckTarget(package, args.dir, *relative); !safe) {
      return PackError(safe.error());
    }
    targets.push_back(fs::path(args.dir) / *relative);
    total += entry->fileLen;
  }

  const std::optional<std::string> keyMaterial = KeyMaterialFromHex(args.keyMaterial);
  if (!keyMaterial) {
    return PackError("--key-material: expected 1 to 100 bytes as hexadecimal digits", kExitUsage);
  }
  const std::vector<std::string> encrypted =
      args.decrypt ? EncryptedMembers(package) : std::vector<std::string>{};
  const host::IoBuffer buffer = host::MakeIoBuffer();
  ProgressBar bar("extracting", total);
  uint64_t done = 0;
  std::string error;
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    const bool decrypt = std::any_of(encrypted.begin(), encrypted.end(), [&](const auto& name) {
      return text::EqualsNoCase(name, chosen[i]->name);
    });
    if (decrypt
            ? !ExtractDecrypted(package, *chosen[i], targets[i], *keyMaterial, &error)
            : !ExtractMember(package, *chosen[i], targets[i], buffer.get(), bar, &done, &error)) {
      return PackError(error);
    }
  }
  std::printf("Extracted %zu member%s into %s\n", chosen.size(), chosen.size() == 1 ? "" : "s",
              args.dir.c_str());
  return 0;
}

}  // namespace

int PackBuild(const std::string& out, const std::string& ini, const std::string& dir,
              const std::string& keyMaterial) {
  BuildArgs args;
  args.out = out;
  args.ini = ini;
  args.dir = dir;
  args.keyMaterial = keyMaterial;
  return RunBuild(args);
}

void AddPackCommands(CLI::App& app, int* exitCode) {
  CLI::App* pack = app.add_subcommand("pack", "Build, list, verify and extract update packages");
  pack->require_subcommand(1);

  auto* build = pack->add_subcommand(
      "build",
      "Build a package. The settings file becomes the member \"Vostrel.ini\"; every file below "
      "FOLDER becomes a member named by its path relative to FOLDER with \"\\\" between the "
      "folders (sorted by name). A read-only file gets the attribute word 0x1, any other 0x80. "
      "The package is written under a temporary name and renamed at the end.");
  auto buildArgs = std::make_shared<BuildArgs>();
  build->add_option("OUT", buildArgs->out, "The package to write")->required();
  build->add_option("--ini", buildArgs->ini, "The settings file (member \"Vostrel.ini\")")
      ->check(CLI::ExistingFile);
  build->add_option("--dir", buildArgs->dir, "The folder whose files become members")
      ->check(CLI::ExistingDirectory);
  build->add_option("--key-material", buildArgs->keyMaterial,
                    "Hexadecimal key material of the terminals the package is for; the .BIN "
                    "images that the OS definitions name are encrypted with it (default: the "
                    "fixed pass phrase)");
  build->callback([exitCode, buildArgs, build] {
    *exitCode = RunBuild(*buildArgs);
    AfterPackCommand(*build, exitCode);
  });

  auto* list = pack->add_subcommand(
      "list",
      "List a package's members (name, attribute word, length, offset), its size field and "
      "whether its checksum holds. Exits 1 when the package is bad.");
  auto listArgs = std::make_shared<ListArgs>();
  list->add_option("PKG", listArgs->package, "The package")->required()->check(CLI::ExistingFile);
  list->add_flag("--json", listArgs->json, "Print JSON");
  list->callback([exitCode, listArgs, list] {
    *exitCode = RunList(*listArgs);
    AfterPackCommand(*list, exitCode);
  });

  auto* verify = pack->add_subcommand(
      "verify",
      "Check a package as the terminal would: its header part parses, every member's data lie "
      "between the header part and the checksum, and the checksum holds. Exits 0 when sound, "
      "else 1 with the reason. The checksum is a plain sum of the bytes: it catches changed "
      "bytes but cannot detect reordered bytes.");
  auto verifyPackage = std::make_shared<std::string>();
  verify->add_option("PKG", *verifyPackage, "The package")->required()->check(CLI::ExistingFile);
  verify->callback([exitCode, verifyPackage, verify] {
    *exitCode = RunVerify(*verifyPackage);
    AfterPackCommand(*verify, exitCode);
  });

  auto* extract = pack->add_subcommand(
      "extract",
      "Extract members (all by default; names matched without regard to case, the first of "
      "equal names) into DIR under their paths, \"\\\" becoming a folder. A name that would "
      "leave DIR (\"..\", absolute) is refused.");
  auto extractArgs = std::make_shared<ExtractArgs>();
  extract->add_option("PKG", extractArgs->package, "The package")
      ->required()
      ->check(CLI::ExistingFile);
  extract->add_option("NAME", extractArgs->names, "Members to extract");
  extract->add_option("-C", extractArgs->dir, "The folder to extract into (default: .)");
  extract->add_flag("--decrypt", extractArgs->decrypt,
                    "Write the plain bytes of the encrypted .BIN images");
  extract->add_option("--key-material", extractArgs->keyMaterial,
                      "Hexadecimal key material for --decrypt (default: the pass phrase)");
  extract->callback([exitCode, extractArgs] { *exitCode = RunExtract(*extractArgs); });

  AddMkbinCommand(pack, exitCode);
  AddPackCheckCommand(*pack, exitCode);
  AddPackSigning(*pack, exitCode);
}

}  // namespace tools
