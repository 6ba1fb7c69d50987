#include "tools/matrix_harness.h"

#include <algorithm>
#include <cstddef>
#include <system_error>

#include "sim/config.h"
#include "sim/desktop_peer.h"
#include "sim/flash_config.h"
#include "sim/flash_media.h"
#include "sim/gps_chip.h"
#include "sim/keys.h"
#include "sim/part_versions.h"
#include "sim/registry.h"

namespace tools::matrix {

namespace fs = std::filesystem;

namespace {

constexpr const char* kFolderMark = "<folder>";

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  });
  return text;
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
      auto bytes = host::ReadFile(it->path());
      snapshot->files[name] = bytes ? *bytes : std::string();
    }
  }
}

// The registry as the terminal holds it now, flushed or not.
void AddRegistry(sim::SimRegistry& registry, const fs::path& file, Snapshot* snapshot) {
  if (!registry.Save()) return;
  auto bytes = host::ReadFile(file);
  if (!bytes) return;
  const nlohmann::json root = nlohmann::json::parse(*bytes, nullptr, false);
  if (!root.is_object()) return;
  for (const auto& [key, values] : root.items()) {
    snapshot->registry[Lower(key)] = "{}";
    if (!values.is_object()) continue;
    for (const auto& [value, data] : values.items()) {
      snapshot->registry[Lower(key) + "\\" + Lower(value)] = data.dump();
    }
  }
}

sim::InstalledVersions Versions(const sim::RunOutcome& outcome,
                                std::string sim::PartOutcome::*which) {
  sim::InstalledVersions versions;
  for (std::size_t i = 0; i < kUpdatePartCount; ++i) {
    sim::VersionOf(versions, kUpdateParts[i].part) = outcome.parts[i].*which;
  }
  return versions;
}

}  // namespace

const char* ModeName(Mode mode) { return mode == Mode::kTerminal ? "terminal" : "desktop"; }

std::vector<Mode> ModesOf(const std::string& option) {
  std::vector<Mode> modes;
  if (option == "terminal" || option == "both") modes.push_back(Mode::kTerminal);
  if (option == "desktop" || option == "both") modes.push_back(Mode::kDesktop);
  return modes;
}

sim::Status ApplySettings(const std::vector<std::string>& settings, sim::TerminalConfig& config) {
  nlohmann::json json = sim::ConfigToJson(config);
  for (const std::string& setting : settings) {
    const std::size_t colon = setting.find(": ");
    const std::size_t dot = setting.find('.');
    if (colon == std::string::npos || dot == std::string::npos || dot > colon) {
      return sim::Status::Failure("setting \"" + setting + "\": expected \"section.key: value\"");
    }
    const std::string text = setting.substr(colon + 2);
    nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
    if (value.is_discarded()) value = text;
    json[setting.substr(0, dot)][setting.substr(dot + 1, colon - dot - 1)] = value;
  }
  auto parsed = sim::ParseConfig(json);
  if (!parsed) return sim::Status::Failure("setting " + parsed.error());
  config = *parsed;
  return {};
}

sim::Result<std::unique_ptr<FreshTerminal>> FreshTerminal::Make(
    const fs::path& dir, const InitTerminal& init, const std::vector<std::string>& settings,
    bool keep) {
  using R = sim::Result<std::unique_ptr<FreshTerminal>>;
  std::unique_ptr<FreshTerminal> fresh(new FreshTerminal(dir, keep));
  std::error_code error;
  fs::remove_all(dir, error);
  fs::create_directories(dir.parent_path(), error);
  if (sim::Status made = init(dir); !made) return R::Failure(made.error());
  if (!settings.empty()) {
    auto config = sim::LoadConfig(dir / "terminal.json");
    if (!config) return R::Failure(config.error());
    if (sim::Status applied = ApplySettings(settings, *config); !applied) {
      return R::Failure(applied.error());
    }
    if (sim::Status saved = sim::SaveConfig(dir / "terminal.json", *config); !saved) {
      return R::Failure(saved.error());
    }
  }
  auto opened = sim::Terminal::Open(dir);
  if (!opened) return R::Failure(opened.error());
  fresh->m_terminal = std::move(*opened);
  return fresh;
}

FreshTerminal::~FreshTerminal() {
  m_terminal.reset();
  std::error_code error;
  if (!m_keep) fs::remove_all(m_dir, error);
}

sim::Result<RunResult> RunPackage(sim::Terminal& terminal, const PackageRun& run,
                                  const std::function<void()>& beforeRun) {
  using R = sim::Result<RunResult>;
  auto keys = sim::ParseKeys(run.keys);
  if (!keys) return R::Failure(keys.error());
  sim::RunOptions options;
  options.keys = *keys;
  options.powerCutAfterStep = run.powerCutAfterStep;
  std::unique_ptr<sim::SimDesktop> desktop;
  if (terminal.Boot() == sim::BootState::kStarts) {
    if (run.mode == Mode::kDesktop) {
      auto started = sim::SimDesktop::Open(terminal.Files(), terminal.Clock(), run.package,
                                           terminal.Config().Get<sim::DesktopConfig>());
      if (!started) return R::Failure(started.error());
      desktop = std::move(*started);
      options.commandLine = "ACTIVESYNC";
      options.desktop = desktop.get();
      if (run.withoutPackage) {
        std::error_code error;
        fs::remove(terminal.Files().HostPath("\\install.bin"), error);
      }
    } else if (!run.withoutPackage) {
      if (sim::Status placed = sim::PlacePackage(terminal, run.package); !placed) {
        return R::Failure(placed.error());
      }
    }
  }
  if (beforeRun) beforeRun();
  struct Watchdog {
    bool armed = true;
    bool fired = false;
  };
  auto watchdog = std::make_shared<Watchdog>();
  terminal.Clock().At(terminal.Now() + run.virtualBoundMs, [watchdog, &terminal] {
    if (!watchdog->armed) return;
    watchdog->fired = true;
    terminal.CutPower();
  });
  RunResult result;
  result.outcome = sim::RunUpdater(terminal, options);
  watchdog->armed = false;
  result.hung = watchdog->fired;
  return result;
}

sim::InstalledVersions VersionsBefore(const sim::RunOutcome& outcome) {
  return Versions(outcome, &sim::PartOutcome::installedBefore);
}

sim::InstalledVersions VersionsAfter(const sim::RunOutcome& outcome) {
  return Versions(outcome, &sim::PartOutcome::installedAfter);
}

Snapshot TakeSnapshot(sim::Terminal& terminal) {
  Snapshot snapshot;
  AddFiles(terminal.Dir() / "fs", &snapshot);
  AddRegistry(terminal.Registry(), terminal.Dir() / "registry.json", &snapshot);
  sim::FlashMedia& flash = *terminal.Find<sim::FlashMedia>();
  for (const sim::FlashPartitionConfig& partition :
       terminal.Config().Get<sim::FlashConfig>().partitions) {
    auto data = flash.ReadPartition(partition.signature, false);
    snapshot.partitions[partition.signature] = data ? *data : "<unreadable: " + data.error() + ">";
  }
  snapshot.diskArea = flash.ReadDiskArea();
  const std::vector<uint8_t> gps = terminal.Find<sim::GpsChip>()->FlashContents();
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

std::string Cell(const std::string& text) {
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

std::string TableRow(const std::vector<std::string>& cells) {
  std::string row = "|";
  for (const std::string& cell : cells) row += " " + Cell(cell) + " |";
  return row + "\n";
}

std::string TableRule(std::size_t columns) {
  std::string rule = "|";
  for (std::size_t i = 0; i < columns; ++i) rule += "---|";
  return rule + "\n";
}

sim::Result<WorkFolder> WorkFolder::Make(const std::string& given, bool keep,
                                         std::string_view prefix) {
  using R = sim::Result<WorkFolder>;
  WorkFolder folder;
  if (!given.empty()) {
    std::error_code error;
    fs::create_directories(given, error);
    if (error) return R::Failure(given + ": " + error.message());
    folder.m_given = given;
    return folder;
  }
  auto scratch = host::ScratchFolder::Make(prefix);
  if (!scratch) return R::Failure(scratch.error());
  if (keep) scratch->Keep();
  folder.m_scratch.emplace(std::move(*scratch));
  folder.m_kept = keep;
  return folder;
}

}  // namespace tools::matrix
