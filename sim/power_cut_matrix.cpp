#include "sim/power_cut_matrix.h"

#include <algorithm>
#include <memory>
#include <set>
#include <system_error>

#include "script/script.h"
#include "settings/script_line.h"
#include "settings/settings.h"
#include "sim/desktop_peer.h"
#include "sim/keys.h"
#include "text/text.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kSampleEnds = 8;
constexpr std::size_t kSampleSpread = 16;

const char* PhaseOf(StepPart part) {
  switch (part) {
    case StepPart::kGps:
      return "GPS";
    case StepPart::kApplication:
      return "application";
    case StepPart::kBoot:
    case StepPart::kKernel:
      return "operating system";
  }
  return "?";
}

// A script line as the steps it makes are matched against it.
struct ScriptLine {
  int command = kScriptUnknown;
  std::string first;
  std::string second;
  std::string text;
};

// A path as a pattern: the date tokens of a destination ("<ccyymmdd>") match whatever the
// terminal's clock made of them.
std::string TokensAsWildcards(const std::string& path) {
  std::string pattern;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const std::size_t close = path[i] == '<' ? path.find('>', i) : std::string::npos;
    if (close == std::string::npos) {
      pattern.push_back(path[i]);
      continue;
    }
    pattern.push_back('*');
    i = close;
  }
  return pattern;
}

// True when the path is what the pattern's last component matches in its folder, or lies
// below such a folder: what a DEL or RMDIR line deletes.
bool DeletedBy(const std::string& pattern, const std::string& path) {
  const std::size_t slash = pattern.rfind('\\');
  if (slash == std::string::npos) return false;
  const std::string folder = pattern.substr(0, slash + 1);
  if (path.size() <= folder.size() || !text::EqualsNoCase(path.substr(0, folder.size()), folder)) {
    return false;
  }
  const std::size_t end = path.find('\\', folder.size());
  return MatchesPattern(pattern.substr(slash + 1), path.substr(folder.size(), end - folder.size()));
}

// True when the line could have made the step.
bool LineMakes(const ScriptLine& line, const WriteStep& step) {
  const std::string& path = step.path;
  switch (line.command) {
    case kScriptMkDir:
      return step.what.starts_with("create folder") && MatchesPattern(line.first, path);
    case kScriptCopy:
      return step.what.starts_with("write") && MatchesPattern(TokensAsWildcards(line.second), path);
    case kScriptRen:
      return (step.what.starts_with("rename") || step.what.starts_with("delete")) &&
             (MatchesPattern(line.first, path) || MatchesPattern(line.second, path));
    case kScriptDel:
    case kScriptRmDir:
      return (step.what.starts_with("delete") || step.what.starts_with("remove folder")) &&
             DeletedBy(line.first, path);
    default:
      return false;
  }
}

RunOptions UpdateOptions() {
  RunOptions options;
  options.keys = *ParseKeys("PLAY PLAY");
  return options;
}

// One run of the package on the terminal, in the setup's mode.
Result<RunOutcome> RunPackage(Terminal& terminal, const CutSetup& setup,
                              std::optional<uint64_t> cutAfter) {
  RunOptions options = UpdateOptions();
  options.powerCutAfterStep = cutAfter;
  std::unique_ptr<SimDesktop> desktop;
  if (terminal.Boot() == BootState::kStarts) {
    if (setup.mode == CutMode::kDesktop) {
      auto opened = SimDesktop::Open(terminal.Files(), terminal.Clock(), setup.package,
                                     terminal.Config().desktop);
      if (!opened) return Result<RunOutcome>::Failure(opened.error());
      desktop = std::move(*opened);
      options.commandLine = "ACTIVESYNC";
      options.desktop = desktop.get();
    } else if (Status placed = PlacePackage(terminal, setup.package); !placed) {
      return Result<RunOutcome>::Failure(placed.error());
    }
  }
  return RunUpdater(terminal, options);
}

// A fresh terminal in its own folder under the work folder, removed when it goes.
class FreshTerminal {
 public:
  static Result<std::unique_ptr<FreshTerminal>> Make(const CutSetup& setup,
                                                     const std::string& name) {
    using R = Result<std::unique_ptr<FreshTerminal>>;
    std::unique_ptr<FreshTerminal> fresh(new FreshTerminal(setup.work / name));
    std::error_code error;
    fs::remove_all(fresh->m_dir, error);
    if (Status made = setup.initTerminal(fresh->m_dir); !made) return R::Failure(made.error());
    auto opened = Terminal::Open(fresh->m_dir);
    if (!opened) return R::Failure(opened.error());
    fresh->m_terminal = std::move(*opened);
    return fresh;
  }
  ~FreshTerminal() {
    m_terminal.reset();
    std::error_code error;
    fs::remove_all(m_dir, error);
  }
  FreshTerminal(const FreshTerminal&) = delete;
  FreshTerminal& operator=(const FreshTerminal&) = delete;
  Terminal& Get() { return *m_terminal; }

 private:
  explicit FreshTerminal(fs::path dir) : m_dir(std::move(dir)) {}
  fs::path m_dir;
  std::unique_ptr<Terminal> m_terminal;
};

InstalledVersions VersionsAfter(const RunOutcome& outcome) {
  return {outcome.parts[0].installedAfter, outcome.parts[1].installedAfter,
          outcome.parts[2].installedAfter, outcome.parts[3].installedAfter};
}

// True when every part that the package updates reports its new version.
bool AtTargets(const InstalledVersions& versions, const InstalledVersions& targets) {
  const std::string InstalledVersions::*fields[4] = {
      &InstalledVersions::boot, &InstalledVersions::kernel, &InstalledVersions::application,
      &InstalledVersions::gps};
  for (const auto field : fields) {
    if (!(targets.*field).empty() && versions.*field != targets.*field) return false;
  }
  return true;
}

}  // namespace

const char* CutModeName(CutMode mode) { return mode == CutMode::kDesktop ? "desktop" : "terminal"; }

std::vector<LabelledStep> LabelSteps(const std::vector<WriteStep>& steps,
                                     const std::vector<std::string>& script) {
  std::vector<ScriptLine> lines;
  for (const std::string& text : script) {
    ScriptLine line;
    line.text = text;
    if (!CScript::SplitParams(text, &line.command, &line.first, &line.second)) {
      line.command = kScriptUnknown;
    }
    lines.push_back(line);
  }
  std::vector<LabelledStep> labelled;
  std::size_t cursor = 0;
  std::size_t stepsOfLine = 0;
  for (const WriteStep& step : steps) {
    LabelledStep out{step, PhaseOf(step.part), step.what, {}};
    if (step.part != StepPart::kApplication) {
      const std::size_t digit = step.what.find_first_of("0123456789");
      out.group = step.what.substr(0, digit);
      if (step.what.starts_with("flash block")) {
        out.group = "flash blocks of " + step.what.substr(step.what.rfind(' ') + 1);
      }
      labelled.push_back(out);
      continue;
    }
    // The script runs its lines in order: a step belongs to the current line or a later one.
    std::size_t found = cursor;
    while (found < lines.size() && !LineMakes(lines[found], step)) ++found;
    if (found == lines.size()) {
      out.group = "file " + step.path;
      labelled.push_back(out);
      continue;
    }
    stepsOfLine = found == cursor ? stepsOfLine + 1 : 1;
    cursor = found;
    const std::string line = "script line " + std::to_string(found + 1) + " " + lines[found].text;
    out.group = line;
    if (lines[found].command == kScriptCopy) {
      out.label = "chunk " + std::to_string(stepsOfLine) + " of " + line;
    } else if (lines[found].command == kScriptMkDir) {
      out.label = line;
    } else {
      out.label = line + " (" + step.what + ")";
    }
    labelled.push_back(out);
  }
  return labelled;
}

Result<CutBaseline> RunBaseline(const CutSetup& setup) {
  using R = Result<CutBaseline>;
  auto fresh = FreshTerminal::Make(setup, "baseline");
  if (!fresh) return R::Failure(fresh.error());
  auto outcome = RunPackage((*fresh)->Get(), setup, std::nullopt);
  if (!outcome) return R::Failure(outcome.error());
  CutBaseline baseline;
  CUpdateSettings settings;
  settings.LoadFromBytes(setup.settings);
  baseline.steps = LabelSteps(
      outcome->writeSteps,
      std::vector<std::string>(settings.m_commandScript.begin(), settings.m_commandScript.end()));
  baseline.finalScreen = outcome->finalScreen;
  baseline.before = {outcome->parts[0].installedBefore, outcome->parts[1].installedBefore,
                     outcome->parts[2].installedBefore, outcome->parts[3].installedBefore};
  baseline.after = VersionsAfter(*outcome);
  std::string* targets[4] = {&baseline.targets.boot, &baseline.targets.kernel,
                             &baseline.targets.application, &baseline.targets.gps};
  for (int i = 0; i < 4; ++i) {
    if (outcome->parts[i].marked && outcome->parts[i].offeredVersion) {
      *targets[i] = *outcome->parts[i].offeredVersion;
    }
  }
  if (outcome->finalScreen != 8 || !AtTargets(baseline.after, baseline.targets)) {
    const InstalledVersions& v = baseline.after;
    return R::Failure("the update without a power cut does not complete (final screen " +
                      std::to_string(outcome->finalScreen) + ", last error \"" +
                      outcome->lastErrorText + "\", versions after it: boot \"" + v.boot +
                      "\", kernel \"" + v.kernel + "\", application \"" + v.application +
                      "\", GPS \"" + v.gps + "\")");
  }
  return baseline;
}

Result<CutRow> CutAt(const CutSetup& setup, const CutBaseline& baseline, std::size_t index) {
  using R = Result<CutRow>;
  CutRow row;
  row.step = baseline.steps.at(index);
  auto fresh = FreshTerminal::Make(setup, "cut");
  if (!fresh) return R::Failure(fresh.error());
  Terminal& terminal = (*fresh)->Get();
  auto first = RunPackage(terminal, setup, row.step.step.number);
  if (!first) return R::Failure(first.error());
  row.firstEnd = first->end;
  row.boot = terminal.Boot();
  row.reported = VersionsAfter(*first);
  if (row.boot != BootState::kStarts) {
    row.afterSecond = row.reported;
    return row;
  }
  auto second = RunPackage(terminal, setup, std::nullopt);
  if (!second) return R::Failure(second.error());
  row.secondRan = true;
  row.secondScreen = second->finalScreen;
  if (second->finalScreen != 8 && second->finalScreen != 5) row.secondError = second->lastErrorText;
  row.afterSecond = VersionsAfter(*second);
  row.recovered = (second->finalScreen == 8 || second->finalScreen == 5) &&
                  terminal.Boot() == BootState::kStarts &&
                  AtTargets(row.afterSecond, baseline.targets);
  return row;
}

std::vector<std::size_t> ChooseSteps(const CutBaseline& baseline, bool quick,
                                     std::size_t sampleAbove) {
  const std::vector<LabelledStep>& steps = baseline.steps;
  std::set<std::size_t> chosen;
  // Runs of steps: of one phase (quick) or of one group.
  std::size_t begin = 0;
  while (begin < steps.size()) {
    std::size_t end = begin + 1;
    const auto same = [&](const LabelledStep& a, const LabelledStep& b) {
      return quick ? a.phase == b.phase : a.group == b.group;
    };
    while (end < steps.size() && same(steps[end], steps[begin])) ++end;
    const std::size_t count = end - begin;
    if (quick) {
      chosen.insert({begin, begin + count / 2, end - 1});
    } else if (count <= sampleAbove) {
      for (std::size_t i = begin; i < end; ++i) chosen.insert(i);
    } else {
      for (std::size_t i = 0; i < kSampleEnds; ++i) chosen.insert({begin + i, end - 1 - i});
      for (std::size_t i = 1; i < kSampleSpread; ++i)
        chosen.insert(begin + count * i / kSampleSpread);
    }
    begin = end;
  }
  return {chosen.begin(), chosen.end()};
}

}  // namespace sim
