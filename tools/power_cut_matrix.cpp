#include "tools/power_cut_matrix.h"

#include <map>
#include <set>

#include "script/script.h"
#include "settings/script_line.h"
#include "settings/settings.h"
#include "sim/file_system.h"
#include "text/text.h"

namespace tools::power_cuts {

using sim::BootState;
using sim::InstalledVersions;
using sim::MatchesPattern;
using sim::StepPart;
using sim::WriteStep;

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

// One run of the package on a terminal, in the setup's mode. A run that does not end is a
// finding that stops the matrix.
sim::Result<sim::RunOutcome> RunPackage(sim::Terminal& terminal, const CutSetup& setup,
                                        std::optional<uint64_t> cutAfter) {
  using R = sim::Result<sim::RunOutcome>;
  matrix::PackageRun run;
  run.mode = setup.mode;
  run.package = setup.package;
  run.powerCutAfterStep = cutAfter;
  auto ran = matrix::RunPackage(terminal, run);
  if (!ran) return R::Failure(ran.error());
  if (ran->hung) {
    return R::Failure(text::Sprintf(
        "a run %s did not end within %llu s of virtual time (a hang)",
        cutAfter ? "cut after step " + std::to_string(*cutAfter) : std::string("without a cut"),
        static_cast<unsigned long long>(run.virtualBoundMs / 1000)));
  }
  return ran->outcome;
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
      // The pages and blocks of one image are one stretch, and so are the erases and headers
      // with which a write init takes its units.
      const std::string partition = step.what.substr(step.what.rfind(' ') + 1);
      if (step.what.starts_with("flash ")) out.group = "flash writes of " + partition;
      if (step.what.starts_with("erase of unit") || step.what.starts_with("header of unit")) {
        out.group = "units taken for " + partition;
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

sim::Result<CutBaseline> RunBaseline(const CutSetup& setup) {
  using R = sim::Result<CutBaseline>;
  auto fresh = matrix::FreshTerminal::Make(setup.work / "baseline", setup.initTerminal);
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
  baseline.before = matrix::VersionsBefore(*outcome);
  baseline.after = matrix::VersionsAfter(*outcome);
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

sim::Result<CutRow> CutAt(const CutSetup& setup, const CutBaseline& baseline, std::size_t index) {
  using R = sim::Result<CutRow>;
  CutRow row;
  row.step = baseline.steps.at(index);
  auto fresh = matrix::FreshTerminal::Make(setup.work / "cut", setup.initTerminal);
  if (!fresh) return R::Failure(fresh.error());
  sim::Terminal& terminal = (*fresh)->Get();
  auto first = RunPackage(terminal, setup, row.step.step.number);
  if (!first) return R::Failure(first.error());
  row.firstEnd = first->end;
  row.boot = terminal.Boot();
  row.reported = matrix::VersionsAfter(*first);
  if (row.boot != BootState::kStarts) {
    row.afterSecond = row.reported;
    return row;
  }
  auto second = RunPackage(terminal, setup, std::nullopt);
  if (!second) return R::Failure(second.error());
  row.secondRan = true;
  row.secondScreen = second->finalScreen;
  if (second->finalScreen != 8 && second->finalScreen != 5) row.secondError = second->lastErrorText;
  row.afterSecond = matrix::VersionsAfter(*second);
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

namespace {

std::string Shown(const std::string& version) {
  const std::size_t first = version.find_first_not_of(' ');
  return first == std::string::npos ? "-" : version.substr(first);
}

std::string VersionsText(const sim::InstalledVersions& versions) {
  return Shown(versions.boot) + " / " + Shown(versions.kernel) + " / " +
         Shown(versions.application) + " / " + Shown(versions.gps);
}

std::string SecondRunText(const CutRow& row) {
  if (!row.secondRan) return "cannot run";
  std::string text = "screen " + std::to_string(row.secondScreen);
  if (!row.secondError.empty()) text += " (" + row.secondError + ")";
  return text;
}

std::string Completes(const CutRow& row) {
  if (row.recovered) return "yes";
  return row.secondRan ? "**no**" : "**no: the terminal does not run the updater**";
}

nlohmann::json RowJson(const CutRow& row) {
  const auto versions = [](const sim::InstalledVersions& v) {
    return nlohmann::json{
        {"boot", v.boot}, {"kernel", v.kernel}, {"application", v.application}, {"gps", v.gps}};
  };
  return {{"step", row.step.step.number},
          {"phase", row.step.phase},
          {"part", sim::StepPartName(row.step.step.part)},
          {"what", row.step.label},
          {"first_run_end", sim::RunEndName(row.firstEnd)},
          {"start_up", sim::BootStateName(row.boot)},
          {"reported", versions(row.reported)},
          {"second_run", row.secondRan},
          {"second_final_screen", row.secondScreen},
          {"second_error", row.secondError},
          {"after_second", versions(row.afterSecond)},
          {"completes", row.recovered}};
}

// Phases in the order the update runs them.
std::vector<std::string> PhasesOf(const ModeResult& result) {
  std::vector<std::string> phases;
  for (const LabelledStep& step : result.baseline.steps) {
    if (phases.empty() || phases.back() != step.phase) phases.push_back(step.phase);
  }
  return phases;
}

}  // namespace

std::string MarkdownTable(const std::vector<ModeResult>& results, const std::string& command,
                          bool sampled) {
  std::string md = "# Power cuts during a full update\n\n";
  md +=
      "Made with `" + command +
      "`. The package (the demo's, `tools/demo_package`, on a fresh demo terminal, unless "
      "`--package` names another, on fresh default terminals) updates a fresh terminal; the update "
      "is run once to count its write steps, then once per cut point on a fresh terminal, "
      "with the power cut once that step is done. After the cut the terminal powers up: it "
      "starts, starts only in its boot loader (its kernel partition holds no whole image), or "
      "does not start (its boot loader partition holds none). The flash driver writes a new "
      "image beside the one in use when the partition has room for both, and marks it "
      "complete only after its last block; the terminal starts from the newest complete "
      "image. Without room the image in use is written over, and a cut meanwhile leaves no "
      "whole image. "
      "A terminal that starts runs the same package once more (PLAY, then PLAY to leave); "
      "\"completes\" means that second run ends on screen 8 (or 5, nothing left) with every "
      "part the package updates at its new version.\n\n";
  md +=
      "Write steps: for a binary partition, each unit erase and unit header with which the "
      "write init takes its units, each page programmed (the last page of each 64 KiB block "
      "names the block), and the complete mark (a cut before it is the cut after the last "
      "page); each write (1 KiB) and each sector erase of the GPS chip's flash; and each "
      "file-system change of the "
      "application's script (a folder created or removed, a file deleted or renamed, a "
      "chunk of 262,144 bytes of a copy).";
  if (sampled) {
    md +=
        " Long stretches of one kind of step are sampled: the first and last eight and an even "
        "spread between; the summary gives both counts.";
  }
  md += "\n\n## Summary\n\n";
  md +=
      matrix::TableRow({"mode", "phase", "write steps", "cut points", "starts", "boot loader only",
                        "does not start", "completed by a second run", "not completed"});
  md += matrix::TableRule(9);
  std::vector<std::string> unstartable;
  std::vector<std::string> unrecovered;
  for (const ModeResult& result : results) {
    const std::string mode = matrix::ModeName(result.mode);
    for (const std::string& phase : PhasesOf(result)) {
      std::size_t steps = 0;
      std::size_t cut = 0;
      std::map<sim::BootState, std::size_t> boots;
      std::size_t recovered = 0;
      for (const LabelledStep& step : result.baseline.steps) steps += step.phase == phase;
      for (const CutRow& row : result.rows) {
        if (row.step.phase != phase) continue;
        ++cut;
        ++boots[row.boot];
        recovered += row.recovered;
        const std::string where = mode + " mode, step " + std::to_string(row.step.step.number) +
                                  " (" + row.step.label + ")";
        if (row.boot != sim::BootState::kStarts) {
          unstartable.push_back(where + ": " + sim::BootStateName(row.boot));
        } else if (!row.recovered) {
          unrecovered.push_back(where + ": second run " + SecondRunText(row));
        }
      }
      md += matrix::TableRow({mode, phase, std::to_string(steps), std::to_string(cut),
                              std::to_string(boots[sim::BootState::kStarts]),
                              std::to_string(boots[sim::BootState::kBootLoaderOnly]),
                              std::to_string(boots[sim::BootState::kDoesNotStart]),
                              std::to_string(recovered), std::to_string(cut - recovered)});
    }
  }
  bool images = false;
  for (const ModeResult& result : results) {
    for (const std::string& phase : PhasesOf(result))
      images = images || phase == "operating system";
  }
  if (!images) {
    md +=
        "\nThe package writes no boot loader or kernel image, so no cut here can tear one; the "
        "closing note says what a cut in that phase does.\n";
  }
  md += "\nCut points that leave the terminal unable to start the updater: ";
  if (unstartable.empty()) {
    md += "none.\n";
  } else {
    md += std::to_string(unstartable.size()) + ".\n\n";
    for (const std::string& line : unstartable) md += "- " + matrix::Cell(line) + "\n";
  }
  md +=
      "\nCut points after which the terminal starts but a second run does not complete the "
      "update: ";
  if (unrecovered.empty()) {
    md += "none.\n";
  } else {
    md += std::to_string(unrecovered.size()) + ".\n\n";
    for (const std::string& line : unrecovered) md += "- " + matrix::Cell(line) + "\n";
  }
  for (const ModeResult& result : results) {
    md += std::string("\n## ") + matrix::ModeName(result.mode) + " mode\n\n";
    md += "Before the update: " + VersionsText(result.baseline.before) +
          " (boot loader / kernel / application / GPS firmware); after it, uncut: " +
          VersionsText(result.baseline.after) + ".\n\n";
    md += matrix::TableRow(
        {"step", "phase", "cut after", "start-up", "versions reported", "second run", "completes"});
    md += matrix::TableRule(7);
    for (const CutRow& row : result.rows) {
      md += matrix::TableRow({std::to_string(row.step.step.number), row.step.phase, row.step.label,
                              sim::BootStateName(row.boot), VersionsText(row.reported),
                              SecondRunText(row), Completes(row)});
    }
  }
  md += R"(
## Closing note

The risk lies in the terminal's design: the boot loader and the kernel each live in one binary
partition, which a write erases whole before it programs the new image, so from the write's start
to its last block the partition holds no image the terminal can start. A cut in that window
leaves a terminal that does not start (boot loader) or starts only in its boot loader (kernel);
no second run of the updater can mend it, since the updater runs only on a started terminal.
Cuts in the GPS and application phases leave a terminal that starts, and the same package run
once more completes the update: the GPS chip's boot ROM takes new firmware whatever its flash
holds (and a torn firmware reports the old version or none, so the update is offered again),
and the script writes every file again.

Where the updater could lower that risk without changing what it is fixed to do (none of this is
built):

- The flash driver core, whose inner workings are this project's own, could write a new image
  into free units and take them over for the partition only once the image is whole: the units'
  headers carry the partition and the logical unit number, so the take-over is a rewrite of
  headers, and a cut before it leaves the old image whole. It needs as many free units as the
  image has.
- The partition writer could check, before it begins, that the terminal is on the charger (the
  update checks it once, on PLAY), so that the window is not opened on a failing battery.
- The order of the phases already puts the images last, after the GPS firmware and the
  application, so that a cut in the window finds the other parts complete.
)";
  return md;
}

nlohmann::json JsonTable(const std::vector<ModeResult>& results) {
  nlohmann::json json = nlohmann::json::array();
  for (const ModeResult& result : results) {
    nlohmann::json rows = nlohmann::json::array();
    for (const CutRow& row : result.rows) rows.push_back(RowJson(row));
    json.push_back({{"mode", matrix::ModeName(result.mode)},
                    {"write_steps", result.baseline.steps.size()},
                    {"rows", rows}});
  }
  return json;
}

}  // namespace tools::power_cuts
