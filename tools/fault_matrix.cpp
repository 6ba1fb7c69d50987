#include "tools/fault_matrix.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

#include "flash/image_format.h"
#include "package/container_format.h"
#include "sim/desktop_peer.h"
#include "sim/flash_media.h"
#include "sim/gps_chip.h"
#include "sim/image_cipher.h"
#include "sim/keys.h"
#include "sim/registry.h"
#include "sim/runner.h"
#include "text/text.h"

namespace tools::faults {

namespace fs = std::filesystem;

namespace {

constexpr const char* kFolderMark = "<folder>";

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  });
  return text;
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool WriteFile(const fs::path& file, const std::string& contents) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << contents;
  return static_cast<bool>(out);
}

// '*' stands for any run of characters, the backslash included.
bool GlobMatch(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return text.empty();
  if (pattern.front() == '*') {
    for (std::size_t skip = 0; skip <= text.size(); ++skip) {
      if (GlobMatch(pattern.substr(1), text.substr(skip))) return true;
    }
    return false;
  }
  return !text.empty() && pattern.front() == text.front() &&
         GlobMatch(pattern.substr(1), text.substr(1));
}

struct Allowance {
  uint32_t touch;  // kTouchNothing: always allowed
  std::vector<const char*> files;
  std::vector<const char*> registry;
};

// Lower-case terminal paths and "key\value" names.
const Allowance kAllowances[] = {
    {kTouchNothing,
     {"\\flash disk2\\vostrel.log", "\\flash disk2\\vostrel.log.old", "\\flash disk2\\*.dbg",
      "\\flash disk2\\*.dbg.old", "\\vostrel.ini", "\\fromhht.txt", "\\fromhht.ok", "\\tohht.txt",
      "\\tohht.ok", "\\cache.bin", "\\abort.me", "\\looking.no"},
     {"update", "update\\start", "update\\start\\*"}},
    {kTouchGps, {}, {"drivers\\builtin\\gpsdev\\loadalways"}},
    // Writing an image unloads the disk driver, whose entry stays gone until the restart; when
    // the reboot fails there is none.
    {kTouchBoot | kTouchKernel, {}, {"drivers\\active\\*"}},
    {kTouchApplication,
     {"\\flash disk2\\navigator", "\\flash disk2\\navigator\\*",
      "\\flash disk2\\tavimon\\version.txt"},
     {"tavimon\\versioninfo\\version"}},
    {kTouchUserData,
     {"\\flash disk2\\documents and settings", "\\flash disk2\\documents and settings\\*",
      "\\flash disk2\\clean.me", "\\flash disk2\\clean.me\\*"},
     {}},
};

bool Allowed(const std::string& name, uint32_t touches, std::vector<const char*> Allowance::*list) {
  for (const Allowance& allowance : kAllowances) {
    if (allowance.touch != kTouchNothing && (allowance.touch & touches) == 0) continue;
    for (const char* pattern : allowance.*list) {
      if (GlobMatch(pattern, name)) return true;
    }
  }
  return false;
}

// Names present on either side whose values differ.
template <typename Report>
void CompareMaps(const std::map<std::string, std::string>& before,
                 const std::map<std::string, std::string>& after, Report report) {
  for (const auto& [name, value] : before) {
    const auto found = after.find(name);
    if (found == after.end()) {
      report(name, "removed");
    } else if (found->second != value) {
      report(name, "changed");
    }
  }
  for (const auto& [name, value] : after) {
    if (before.count(name) == 0) report(name, "added");
  }
}

// The user's documents may be set aside as clean.me, never lost: each file must stay under one
// of the two names with its contents.
void CheckUserData(const Snapshot& before, const Snapshot& after,
                   std::vector<std::string>* changes) {
  static const std::string kDocuments = "\\flash disk2\\documents and settings\\";
  static const std::string kSetAside = "\\flash disk2\\clean.me\\";
  for (const auto& [name, contents] : before.files) {
    if (name.rfind(kDocuments, 0) != 0) continue;
    const std::string rest = name.substr(kDocuments.size());
    const auto kept = after.files.find(name);
    const auto moved = after.files.find(kSetAside + rest);
    const bool safe = (kept != after.files.end() && kept->second == contents) ||
                      (moved != after.files.end() && moved->second == contents);
    if (!safe) changes->push_back("file " + name + " lost");
  }
}

void AddFiles(const fs::path& root, Snapshot* snapshot) {
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    std::string name = "\\" + fs::relative(it->path(), root, error).generic_string();
    std::replace(name.begin(), name.end(), '/', '\\');
    name = Lower(name);
    if (it->is_directory(error)) {
      snapshot->files[name] = kFolderMark;
    } else {
      snapshot->files[name] = ReadFile(it->path());
    }
  }
}

// The registry as the terminal holds it now, flushed or not.
void AddRegistry(sim::SimRegistry& registry, const fs::path& file, Snapshot* snapshot) {
  if (!registry.Save()) return;
  const nlohmann::json root = nlohmann::json::parse(ReadFile(file), nullptr, false);
  if (!root.is_object()) return;
  for (const auto& [key, values] : root.items()) {
    snapshot->registry[Lower(key)] = "{}";
    if (!values.is_object()) continue;
    for (const auto& [value, data] : values.items()) {
      snapshot->registry[Lower(key) + "\\" + Lower(value)] = data.dump();
    }
  }
}

// An image of `size` bytes that carries its version where the simulated terminal reads it.
std::string VersionedImage(const std::string& version, std::size_t size, uint32_t seed) {
  std::string image(size, '\0');
  uint32_t state = seed;
  for (char& byte : image) {
    state = state * 1103515245U + 12345U;
    byte = static_cast<char>(state >> 16);
  }
  const std::string mark = "VOSTREL-VERSION:" + version + std::string(1, '\0');
  image.replace(64, mark.size(), mark);
  return image;
}

sim::Status WritePackage(const fs::path& file, const std::vector<container::Member>& members) {
  container::VectorSink sink;
  std::string error;
  if (!container::WriteContainer(members, {}, sink, &error)) {
    return sim::Status::Failure(file.string() + ": " + error);
  }
  if (!WriteFile(file, std::string(sink.Bytes().begin(), sink.Bytes().end()))) {
    return sim::Status::Failure(file.string() + ": cannot be written");
  }
  return {};
}

container::Member MemberOf(std::string name, std::string contents) {
  container::Member member;
  member.name = std::move(name);
  member.contents = std::move(contents);
  return member;
}

std::string ShownError(const sim::RunOutcome& outcome) {
  for (auto entry = outcome.trace.rbegin(); entry != outcome.trace.rend(); ++entry) {
    if (entry->errorVisible) return entry->errorText;
  }
  return {};
}

// "(1033)text (function)" back into its parts.
void ParseErrorLine(const std::string& line, RowResult* result) {
  const std::size_t close = line.find(')');
  const std::size_t open = line.rfind(" (");
  if (line.empty() || line.front() != '(' || close == std::string::npos ||
      open == std::string::npos || open < close || line.back() != ')') {
    result->errorText = line;
    return;
  }
  result->errorNumber = static_cast<int32_t>(std::strtol(line.c_str() + 1, nullptr, 10));
  result->errorText = line.substr(close + 1, open - close - 1);
  result->errorFunction = line.substr(open + 2, line.size() - open - 3);
}

void Compare(const FaultRow& row, const std::string& debugText, RowResult* result) {
  auto& wrong = result->mismatches;
  if (!row.trace.empty() && debugText.find(row.trace) == std::string::npos) {
    wrong.push_back("the debug output lacks \"" + row.trace + "\"");
  }
  if (result->finalScreen != row.screen) {
    wrong.push_back(text::Sprintf("screen %d, expected %d", result->finalScreen, row.screen));
  }
  if (row.error) {
    const ExpectedError& e = *row.error;
    if (result->errorNumber != e.number || result->errorFunction != e.function ||
        (e.text && result->errorText != *e.text)) {
      wrong.push_back("error " +
                      FormatError(result->errorNumber, result->errorText, result->errorFunction) +
                      ", expected " + FormatError(e.number, e.text.value_or("..."), e.function));
    }
  }
  if (result->hung) wrong.push_back("no end within the virtual-time bound (a hang)");
  if (!result->endedByItself && !result->hung) wrong.push_back("ended: " + result->end);
  if (!result->changes.empty()) {
    wrong.push_back(
        text::Sprintf("%zu change(s) outside what the row may touch", result->changes.size()));
  }
}

}  // namespace

Snapshot TakeSnapshot(sim::Terminal& terminal) {
  Snapshot snapshot;
  AddFiles(terminal.Dir() / "fs", &snapshot);
  AddRegistry(terminal.Registry(), terminal.Dir() / "registry.json", &snapshot);
  for (const sim::FlashPartitionConfig& partition : terminal.Config().flash.partitions) {
    auto data = terminal.Flash().ReadPartition(partition.signature, false);
    snapshot.partitions[partition.signature] = data ? *data : "<unreadable: " + data.error() + ">";
  }
  snapshot.diskArea = terminal.Flash().ReadDiskArea();
  const std::vector<uint8_t> gps = terminal.Gps().FlashContents();
  snapshot.gpsFlash.assign(gps.begin(), gps.end());
  return snapshot;
}

std::vector<std::string> UnexpectedChanges(const Snapshot& before, const Snapshot& after,
                                           uint32_t touches) {
  std::vector<std::string> changes;
  CompareMaps(before.files, after.files, [&](const std::string& name, const char* how) {
    if (!Allowed(name, touches, &Allowance::files)) {
      changes.push_back("file " + name + " " + how);
    }
  });
  CompareMaps(before.registry, after.registry, [&](const std::string& name, const char* how) {
    if (!Allowed(name, touches, &Allowance::registry)) {
      changes.push_back("registry " + name + " " + how);
    }
  });
  if (touches & kTouchUserData) CheckUserData(before, after, &changes);
  const std::map<std::string, uint32_t> partitionTouch = {{"BOOT", kTouchBoot},
                                                          {"KRNL", kTouchKernel}};
  CompareMaps(before.partitions, after.partitions, [&](const std::string& name, const char* how) {
    const auto touch = partitionTouch.find(name);
    if (touch == partitionTouch.end() || (touches & touch->second) == 0) {
      changes.push_back("partition " + name + " " + how);
    }
  });
  if (before.diskArea != after.diskArea) changes.push_back("flash disk area changed");
  if (before.gpsFlash != after.gpsFlash && (touches & kTouchGps) == 0) {
    changes.push_back("GPS flash changed");
  }
  return changes;
}

sim::Status BuildOwnPackages(const fs::path& dir, std::map<PackageKind, fs::path>& packages) {
  // A raw boot loader of three blocks and a bit, and a kernel as an encrypted .BIN image.
  const std::string settings =
      "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\n"
      "OSSoftware1=OS|1.0.6|EBOOT2.NB0^0^BOOT\r\n"
      "OSSoftware2=OS|4.2.121|NK.BIN^1^KRNL\r\n";
  const std::string kernel =
      image_format::MakeBin(VersionedImage("4.2.121", 300000, 2), 0x80200000, 65536);
  const fs::path os = dir / "os-images.bin";
  if (sim::Status written = WritePackage(
          os, {MemberOf("Vostrel.ini", settings),
               MemberOf("EBOOT2.NB0", VersionedImage("1.0.6", 3 * 65536 + 1000, 1)),
               MemberOf("NK.BIN", image_format::EncryptImage(kernel, image_format::kPassPhrase))});
      !written) {
    return written;
  }
  packages[PackageKind::kOsImages] = os;

  const fs::path gpsDir = VOSTREL_GPS_EXAMPLES_DIR;
  const std::string loader = ReadFile(gpsDir / "GPSBOOT.LDR");
  const std::string records = ReadFile(gpsDir / "GSW3_330.SRE");
  if (loader.empty() || records.empty()) {
    return sim::Status::Failure(gpsDir.string() +
                                ": the GPS boot loader and S-records are "
                                "missing (made by the build)");
  }
  const fs::path srec = dir / "gps-srecords.bin";
  if (sim::Status written =
          WritePackage(srec, {MemberOf("Vostrel.ini",
                                       "[SoftwareToUpdate]\r\nUpdate1=GPS\r\n[GPS]\r\n"
                                       "GpsSoftware1=GPS|2|GPSBOOT.LDR^BOOT\r\n"
                                       "GpsSoftware2=GPS|3.3.0|GSW3_330.SRE^FIRMWARE\r\n"),
                              MemberOf("GPSBOOT.LDR", loader), MemberOf("GSW3_330.SRE", records)});
      !written) {
    return written;
  }
  packages[PackageKind::kGpsSrecords] = srec;

  const auto demo = packages.find(PackageKind::kDemo);
  if (demo == packages.end()) return sim::Status::Failure("the demo's package is needed");
  std::string corrupt = ReadFile(demo->second);
  if (corrupt.size() < 1024) return sim::Status::Failure(demo->second.string() + ": too short");
  // A byte in the middle of the data: the headers still parse, only the sum is wrong.
  corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x40);
  const fs::path corruptFile = dir / "demo-corrupt.bin";
  if (!WriteFile(corruptFile, corrupt)) {
    return sim::Status::Failure(corruptFile.string() + ": cannot be written");
  }
  packages[PackageKind::kDemoCorrupt] = corruptFile;
  return {};
}

sim::Result<RowResult> RunRow(const FaultRow& row, Mode mode, const MatrixInputs& inputs,
                              const fs::path& dir) {
  using R = sim::Result<RowResult>;
  std::error_code error;
  fs::remove_all(dir, error);
  fs::create_directories(dir.parent_path(), error);
  if (sim::Status made = inputs.initTerminal(dir); !made) return R::Failure(made.error());
  auto config = sim::LoadConfig(dir / "terminal.json");
  if (!config) return R::Failure(config.error());
  row.apply(*config);
  if (sim::Status saved = sim::SaveConfig(dir / "terminal.json", *config); !saved) {
    return R::Failure(saved.error());
  }
  auto opened = sim::Terminal::Open(dir);
  if (!opened) return R::Failure(opened.error());
  sim::Terminal& terminal = **opened;

  std::unique_ptr<sim::SimDesktop> desktop;
  const bool withPackage = row.package != PackageKind::kNone;
  const auto package = inputs.packages.find(withPackage ? row.package : PackageKind::kDemo);
  if (package == inputs.packages.end()) return R::Failure("row " + row.id + ": no package");
  if (mode == Mode::kTerminal) {
    if (withPackage) {
      if (sim::Status placed = sim::PlacePackage(terminal, package->second); !placed) {
        return R::Failure(placed.error());
      }
    }
  } else {
    auto started = sim::SimDesktop::Open(terminal.Files(), terminal.Clock(), package->second,
                                         terminal.Config().desktop);
    if (!started) return R::Failure(started.error());
    desktop = std::move(*started);
    if (!withPackage) fs::remove(terminal.Files().HostPath("\\install.bin"), error);
  }
  auto keys = sim::ParseKeys(row.keys);
  if (!keys) return R::Failure("row " + row.id + ": " + keys.error());

  const Snapshot before = TakeSnapshot(terminal);
  sim::RunOptions options;
  options.commandLine = mode == Mode::kDesktop ? "ACTIVESYNC" : "";
  options.keys = *keys;
  options.desktop = desktop.get();
  // A run that has not ended by the bound is cut off, so that a hang is a finding and not a
  // stuck matrix.
  struct Watchdog {
    bool armed = true;
    bool fired = false;
  };
  auto watchdog = std::make_shared<Watchdog>();
  terminal.Clock().At(terminal.Now() + inputs.virtualBoundMs, [watchdog, &terminal] {
    if (!watchdog->armed) return;
    watchdog->fired = true;
    terminal.CutPower();
  });
  const sim::RunOutcome outcome = sim::RunUpdater(terminal, options);
  watchdog->armed = false;
  desktop.reset();
  const Snapshot after = TakeSnapshot(terminal);

  RowResult result;
  result.row = &row;
  result.mode = mode;
  result.finalScreen = outcome.finalScreen;
  result.screens = outcome.screens;
  result.virtualMs = outcome.virtualMilliseconds;
  result.hung = watchdog->fired;
  for (const sim::PartOutcome& part : outcome.parts) {
    result.versionsAfter.push_back(part.installedAfter);
  }
  result.end = result.hung ? "cut off by the bound" : sim::RunEndName(outcome.end);
  if (outcome.finalScreen == 9) {
    ParseErrorLine(ShownError(outcome), &result);
  } else {
    result.errorNumber = outcome.lastError;
    result.errorText = outcome.lastErrorText;
    result.errorFunction = outcome.lastErrorFunction;
  }
  const bool cut = outcome.end == sim::RunEnd::kPowerCut;
  result.endedByItself =
      !result.hung && (row.ending == Ending::kPowerCut ? cut
                                                       : outcome.end == sim::RunEnd::kLeft ||
                                                             outcome.end == sim::RunEnd::kRebooted);
  result.changes = UnexpectedChanges(before, after, row.touches);
  Compare(row, terminal.DebugText(), &result);
  return result;
}

const char* ModeName(Mode mode) { return mode == Mode::kTerminal ? "terminal" : "desktop"; }

std::string FormatError(int32_t number, const std::string& text, const std::string& function) {
  return text::Sprintf("(%ld)%s (%s)", static_cast<long>(number), text, function);
}

namespace {

std::string Cell(std::string text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '|') {
      escaped += "\\|";
    } else if (c == '\n' || c == '\r') {
      escaped += ' ';
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string ExpectedErrorCell(const FaultRow& row) {
  if (!row.error) return "(not decided by the fault)";
  return FormatError(row.error->number, row.error->text.value_or("..."), row.error->function);
}

}  // namespace

std::string MarkdownTable(const std::vector<RowResult>& results, const std::string& command) {
  std::string out;
  out += "# The fault matrix\n\n";
  out +=
      "Every fault that the simulated terminal can inject, run on a fresh terminal for the "
      "part it hits, in each run mode it applies to. Reproduce this table with:\n\n";
  out += "```sh\n" + command + "\n```\n\n";
  std::size_t matching = 0;
  for (const RowResult& result : results) matching += result.Matches() ? 1 : 0;
  out += text::Sprintf("%zu runs, %zu as expected, %zu not.\n\n", results.size(), matching,
                       results.size() - matching);
  out +=
      "Columns: the fault (its terminal.json setting), the part it hits, the run mode, the "
      "final screen (expected in brackets), the last error as the failed screen shows it "
      "(other screens: the last error reported) and the expected one, changes outside what "
      "the failing item may touch, whether the run ended by itself within the bound of "
      "virtual time, and whether everything matched.\n\n";
  out +=
      "| fault | part | mode | screen | last error | expected error | outside changes | "
      "ended by itself | virtual s | matches |\n";
  out += "|---|---|---|---|---|---|---|---|---|---|\n";
  for (const RowResult& result : results) {
    const FaultRow& row = *result.row;
    std::string changes = result.changes.empty() ? "none" : "";
    for (const std::string& change : result.changes) {
      changes += (changes.empty() ? "" : "; ") + change;
    }
    out += "| " + Cell(row.setting) + " | " + row.part + " | " + ModeName(result.mode) + " | " +
           text::Sprintf("%d (%d)", result.finalScreen, row.screen) + " | " +
           Cell(FormatError(result.errorNumber, result.errorText, result.errorFunction)) + " | " +
           Cell(ExpectedErrorCell(row)) + " | " + Cell(changes) + " | " +
           (result.endedByItself ? "yes" : "no") + " (" + result.end + ") | " +
           text::Sprintf("%.1f", static_cast<double>(result.virtualMs) / 1000.0) + " | " +
           (result.Matches() ? "yes" : "**no**: " + Cell([&] {
                                         std::string why;
                                         for (const std::string& m : result.mismatches)
                                           why += (why.empty() ? "" : "; ") + m;
                                         return why;
                                       }())) +
           " |\n";
  }
  out += "\n## Why each row ends as it does\n\n";
  std::vector<std::string> seen;
  for (const RowResult& result : results) {
    const FaultRow& row = *result.row;
    if (std::find(seen.begin(), seen.end(), row.id) != seen.end()) continue;
    seen.push_back(row.id);
    out += "- `" + row.id + "` (" + Cell(row.setting) + "): " + row.why + ".\n";
  }
  return out;
}

nlohmann::json JsonTable(const std::vector<RowResult>& results) {
  nlohmann::json rows = nlohmann::json::array();
  for (const RowResult& result : results) {
    const FaultRow& row = *result.row;
    nlohmann::json entry = {
        {"id", row.id},
        {"fault", row.setting},
        {"part", row.part},
        {"mode", ModeName(result.mode)},
        {"screens", result.screens},
        {"final_screen", result.finalScreen},
        {"expected_screen", row.screen},
        {"last_error",
         {{"number", result.errorNumber},
          {"text", result.errorText},
          {"function", result.errorFunction}}},
        {"outside_changes", result.changes},
        {"end", result.end},
        {"versions_after",
         {{"boot", result.versionsAfter.at(0)},
          {"kernel", result.versionsAfter.at(1)},
          {"application", result.versionsAfter.at(2)},
          {"gps", result.versionsAfter.at(3)}}},
        {"ended_by_itself", result.endedByItself},
        {"virtual_ms", result.virtualMs},
        {"matches", result.Matches()},
        {"mismatches", result.mismatches},
    };
    if (row.error) {
      entry["expected_error"] = {{"number", row.error->number}, {"function", row.error->function}};
      if (row.error->text) entry["expected_error"]["text"] = *row.error->text;
    }
    rows.push_back(entry);
  }
  return rows;
}

}  // namespace tools::faults
