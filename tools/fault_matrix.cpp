#include "tools/fault_matrix.h"

#include <algorithm>

#include "flash/image_format.h"
#include "package/container_format.h"
#include "package/manifest.h"
#include "sim/image_cipher.h"
#include "sim/part_versions.h"
#include "text/text.h"
#include "tools/signing.h"

namespace tools::faults {

namespace fs = std::filesystem;

namespace {

// The file's bytes, or none when it cannot be read.
std::string ReadOrEmpty(const fs::path& file) {
  auto bytes = host::ReadFile(file);
  return bytes ? *bytes : std::string();
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
  return host::WriteFile(file, std::string(sink.Bytes().begin(), sink.Bytes().end()));
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

FaultPart::FaultPart(Surrounding what) {
  switch (what) {
    case Surrounding::kPackage:
      name = "package";
      break;
    case Surrounding::kPower:
      name = "power";
      break;
    case Surrounding::kDesktopLink:
      name = "desktop link";
      break;
  }
}

namespace {

// A setting as the table shows it: a public key in PEM (JSON-escaped in the setting's value) as
// its fingerprint, which says as much in one line.
std::string ShownSetting(std::string setting) {
  static const std::string kBegin = "\"-----BEGIN PUBLIC KEY-----";
  static const std::string kEnd = "-----END PUBLIC KEY-----\\n\"";
  for (std::size_t begin = setting.find(kBegin); begin != std::string::npos;
       begin = setting.find(kBegin, begin + 1)) {
    const std::size_t end = setting.find(kEnd, begin);
    if (end == std::string::npos) break;
    std::string pem = setting.substr(begin + 1, end + kEnd.size() - 1 - (begin + 1));
    for (std::size_t at = pem.find("\\n"); at != std::string::npos; at = pem.find("\\n", at)) {
      pem.replace(at, 2, "\n");
    }
    manifest::PublicKey key;
    std::string error;
    if (!manifest::ParsePublicKeyPem(pem, &key, &error)) continue;
    const std::string shown = "key " + KeyFingerprint(key);
    setting.replace(begin, end + kEnd.size() - begin, shown);
  }
  return setting;
}

}  // namespace

std::string FaultText(const FaultRow& row) {
  std::string text;
  for (const std::string& setting : row.settings) {
    text += (text.empty() ? "" : ", ") + ShownSetting(setting);
  }
  if (text.empty()) return row.note;
  return row.note.empty() ? text : text + " (" + row.note + ")";
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
  const std::string loader = ReadOrEmpty(gpsDir / "GPSBOOT.LDR");
  const std::string records = ReadOrEmpty(gpsDir / "VGPS_330.SRE");
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
                                       "GpsSoftware2=GPS|3.3.0|VGPS_330.SRE^FIRMWARE\r\n"),
                              MemberOf("GPSBOOT.LDR", loader), MemberOf("VGPS_330.SRE", records)});
      !written) {
    return written;
  }
  packages[PackageKind::kGpsSrecords] = srec;

  const auto demo = packages.find(PackageKind::kDemo);
  if (demo == packages.end()) return sim::Status::Failure("the demo's package is needed");
  std::string corrupt = ReadOrEmpty(demo->second);
  if (corrupt.size() < 1024) return sim::Status::Failure(demo->second.string() + ": too short");
  // A byte in the middle of the data: the headers still parse, only the sum is wrong.
  corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x40);
  const fs::path corruptFile = dir / "demo-corrupt.bin";
  if (sim::Status written = host::WriteFile(corruptFile, corrupt); !written) return written;
  packages[PackageKind::kDemoCorrupt] = corruptFile;
  return BuildSignedPackages(dir, packages);
}

sim::Result<RowResult> RunRow(const FaultRow& row, Mode mode, const MatrixInputs& inputs,
                              const fs::path& dir) {
  using R = sim::Result<RowResult>;
  const bool withPackage = row.package != PackageKind::kNone;
  const auto package = inputs.packages.find(withPackage ? row.package : PackageKind::kDemo);
  if (package == inputs.packages.end()) return R::Failure("row " + row.id + ": no package");
  auto fresh =
      matrix::FreshTerminal::Make(dir, inputs.initTerminal, row.settings, inputs.keepTerminals);
  if (!fresh) return R::Failure("row " + row.id + ": " + fresh.error());
  sim::Terminal& terminal = (*fresh)->Get();

  matrix::PackageRun run;
  run.mode = mode;
  run.package = package->second;
  run.withoutPackage = !withPackage;
  run.keys = row.keys;
  run.virtualBoundMs = inputs.virtualBoundMs;
  matrix::Snapshot before;
  auto ran = matrix::RunPackage(terminal, run, [&] { before = matrix::TakeSnapshot(terminal); });
  if (!ran) return R::Failure("row " + row.id + ": " + ran.error());
  const sim::RunOutcome& outcome = ran->outcome;
  const matrix::Snapshot after = matrix::TakeSnapshot(terminal);

  RowResult result;
  result.row = &row;
  result.mode = mode;
  result.finalScreen = outcome.finalScreen;
  result.screens = outcome.screens;
  result.virtualMs = outcome.virtualMilliseconds;
  result.hung = ran->hung;
  result.versionsAfter = matrix::VersionsAfter(outcome);
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
  result.changes = matrix::UnexpectedChanges(before, after, row.touches);
  Compare(row, terminal.DebugText(), &result);
  return result;
}

std::string FormatError(int32_t number, const std::string& text, const std::string& function) {
  return text::Sprintf("(%ld)%s (%s)", static_cast<long>(number), text, function);
}

namespace {

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
  out += matrix::TableRow({"fault", "part", "mode", "screen", "last error", "expected error",
                           "outside changes", "ended by itself", "virtual s", "matches"});
  out += matrix::TableRule(10);
  for (const RowResult& result : results) {
    const FaultRow& row = *result.row;
    std::string changes = result.changes.empty() ? "none" : "";
    for (const std::string& change : result.changes) {
      changes += (changes.empty() ? "" : "; ") + change;
    }
    std::string matches = result.Matches() ? "yes" : "**no**: ";
    for (std::size_t i = 0; i < result.mismatches.size(); ++i) {
      matches += (i == 0 ? "" : "; ") + result.mismatches[i];
    }
    out += matrix::TableRow(
        {FaultText(row), row.part.name, ModeName(result.mode),
         text::Sprintf("%d (%d)", result.finalScreen, row.screen),
         FormatError(result.errorNumber, result.errorText, result.errorFunction),
         ExpectedErrorCell(row), changes,
         std::string(result.endedByItself ? "yes" : "no") + " (" + result.end + ")",
         text::Sprintf("%.1f", static_cast<double>(result.virtualMs) / 1000.0), matches});
  }
  out += "\n## Why each row ends as it does\n\n";
  std::vector<std::string> seen;
  for (const RowResult& result : results) {
    const FaultRow& row = *result.row;
    if (std::find(seen.begin(), seen.end(), row.id) != seen.end()) continue;
    seen.push_back(row.id);
    out += "- `" + row.id + "` (" + matrix::Cell(FaultText(row)) + "): " + row.why + ".\n";
  }
  return out;
}

nlohmann::json JsonTable(const std::vector<RowResult>& results) {
  nlohmann::json rows = nlohmann::json::array();
  for (const RowResult& result : results) {
    const FaultRow& row = *result.row;
    nlohmann::json versionsAfter = nlohmann::json::object();
    for (const UpdatePartRow& part : kUpdateParts) {
      versionsAfter[part.name] = sim::VersionOf(result.versionsAfter, part.part);
    }
    nlohmann::json entry = {
        {"id", row.id},
        {"fault", FaultText(row)},
        {"part", row.part.name},
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
        {"versions_after", versionsAfter},
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
