// The fault matrix's judgement: what counts as a change outside a row's reach, a row that ends
// otherwise than expected, a run that hangs, and the table's representative subset.
#include "tools/fault_matrix.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sim/gps_chip.h"
#include "sim/registry.h"
#include "sim/shell.h"
#include "support/command_test.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

namespace fs = std::filesystem;
namespace faults = tools::faults;
namespace matrix = tools::matrix;
using testing_support::TempDir;

void Put(sim::Terminal& terminal, const std::string& path, const std::string& contents) {
  testing_support::WriteHostFile(terminal.Files().HostPath(path), contents);
}

TEST(FaultSnapshotTest, FindsChangesOutsideWhatTheRowMayTouch) {
  struct Case {
    const char* name;
    std::function<void(sim::Terminal&)> change;
    uint32_t touches;
    std::vector<std::string> expected;
  };
  const auto moveDocuments = [](sim::Terminal& t) {
    fs::rename(t.Files().HostPath("\\Flash Disk2\\Documents and Settings"),
               t.Files().HostPath("\\Flash Disk2\\clean.me"));
  };
  const std::vector<Case> cases = {
      {"the log may always change",
       [](sim::Terminal& t) { Put(t, "\\Flash disk2\\Vostrel.log", "log\r\n"); },
       faults::kTouchNothing,
       {}},
      {"an installed program changed by an application item",
       [](sim::Terminal& t) { Put(t, "\\Flash Disk2\\Navigator\\Routing.dll", "new"); },
       faults::kTouchApplication,
       {}},
      {"an installed program changed by an item that may not touch it",
       [](sim::Terminal& t) { Put(t, "\\Flash Disk2\\Navigator\\Routing.dll", "new"); },
       faults::kTouchGps,
       {"file \\flash disk2\\navigator\\routing.dll changed"}},
      {"a new file in an unrelated folder",
       [](sim::Terminal& t) { Put(t, "\\Storage Card\\stray.txt", "x"); },
       faults::kTouchApplication | faults::kTouchUserData,
       {"file \\storage card\\stray.txt added"}},
      {"the documents set aside keep their contents", moveDocuments, faults::kTouchUserData, {}},
      {"the documents set aside by an item that may not",
       moveDocuments,
       faults::kTouchApplication,
       {"file \\flash disk2\\documents and settings removed",
        "file \\flash disk2\\documents and settings\\trip.txt removed",
        "file \\flash disk2\\clean.me added", "file \\flash disk2\\clean.me\\trip.txt added"}},
      {"documents deleted instead of set aside",
       [](sim::Terminal& t) {
         fs::remove(t.Files().HostPath("\\Flash Disk2\\Documents and Settings\\trip.txt"));
       },
       faults::kTouchUserData,
       {"file \\flash disk2\\documents and settings\\trip.txt lost"}},
      {"the GPS programmer's registry value",
       [](sim::Terminal& t) { t.Registry().SetDword("Drivers\\Builtin\\GPSDev", "LoadAlways", 1); },
       faults::kTouchGps,
       {}},
      {"the same value set by another item",
       [](sim::Terminal& t) { t.Registry().SetDword("Drivers\\Builtin\\GPSDev", "LoadAlways", 1); },
       faults::kTouchApplication,
       {"registry drivers\\builtin\\gpsdev\\loadalways added"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ASSERT_TRUE(sim::Terminal::Init(dir.Path() / "t"));
    auto terminal = sim::Terminal::Open(dir.Path() / "t");
    ASSERT_TRUE(terminal.ok()) << terminal.error();
    Put(**terminal, "\\Flash Disk2\\Navigator\\Routing.dll", "old");
    Put(**terminal, "\\Flash Disk2\\Documents and Settings\\trip.txt", "Monday");
    const matrix::Snapshot before = matrix::TakeSnapshot(**terminal);
    c.change(**terminal);
    EXPECT_EQ(matrix::UnexpectedChanges(before, matrix::TakeSnapshot(**terminal), c.touches),
              c.expected);
  }
}

// Rows run on a plain terminal with packages of the test's own.
class FaultRowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path app = m_dir.Path() / "app.bin";
    testing_support::WriteHostFile(
        app, testing_support::BuildPackage(
                 {{"Vostrel.ini", testing_support::ApplicationSettings(
                                      "2.0.0",
                                      "COPY|a.txt|\\Flash Disk2\\Navigator\\a.txt\r\n"
                                      "DEL|\\Flash Disk2\\Keep\\notes.txt\r\n")},
                  {"a.txt", std::string(2000, 'a')}}));
    m_inputs.packages[faults::PackageKind::kDemo] = app;
    ASSERT_TRUE(faults::BuildOwnPackages(m_dir.Path(), m_inputs.packages));
    m_inputs.initTerminal = [](const fs::path& dir) {
      if (sim::Status made = sim::Terminal::Init(dir); !made) return made;
      auto terminal = sim::Terminal::Open(dir);
      if (!terminal) return sim::Status::Failure(terminal.error());
      // The shell holds the program once the terminal is opened again for the run.
      Put(**terminal, "\\Flash Disk2\\Navigator\\Navigator.exe", "program");
      Put(**terminal, "\\Flash Disk2\\Keep\\notes.txt", "keep me");
      Put(**terminal, "\\Flash Disk2\\Keep\\other.txt", "and me");
      return sim::Status();
    };
    m_inputs.virtualBoundMs = 10 * 60 * 1000;
  }

  faults::RowResult Run(const faults::FaultRow& row, faults::Mode mode) {
    auto result =
        faults::RunRow(row, mode, m_inputs, m_dir.Path() / ("run" + std::to_string(++m_runs)));
    EXPECT_TRUE(result.ok()) << result.error();
    return result.ok() ? *result : faults::RowResult{};
  }

  static const faults::FaultRow& Table(const std::string& id) {
    for (const faults::FaultRow& row : faults::FaultRows()) {
      if (row.id == id) return row;
    }
    ADD_FAILURE() << "no row " << id;
    return faults::FaultRows().front();
  }

  static faults::FaultRow ApplicationRow() {
    faults::FaultRow row;
    row.id = "test";
    row.part = UpdatePart::kApplication;
    row.touches = faults::kTouchApplication | faults::kTouchUserData;
    return row;
  }

  TempDir m_dir;
  faults::MatrixInputs m_inputs;
  int m_runs = 0;
};

TEST_F(FaultRowTest, ARowEndingOtherwiseThanExpectedNamesScreenAndError) {
  faults::FaultRow row = ApplicationRow();
  row.settings = {"shell.on_destroy: ignore", "shell.can_be_terminated: false"};
  row.screen = 11;
  row.error = faults::ExpectedError{0, "", ""};
  row.touches = faults::kTouchNothing;
  for (const faults::Mode mode : {faults::Mode::kTerminal, faults::Mode::kDesktop}) {
    SCOPED_TRACE(faults::ModeName(mode));
    const faults::RowResult held = Run(row, mode);
    EXPECT_TRUE(held.Matches()) << testing::PrintToString(held.mismatches);
    EXPECT_TRUE(held.endedByItself);

    faults::FaultRow wrong = row;
    wrong.screen = 8;
    wrong.error = faults::ExpectedError{1030, "ProcessAppScript:", std::nullopt};
    const faults::RowResult missed = Run(wrong, mode);
    EXPECT_EQ(missed.mismatches,
              (std::vector<std::string>{"screen 11, expected 8",
                                        "error (0) (), expected (1030)... (ProcessAppScript:)"}));
  }
}

TEST_F(FaultRowTest, AScriptThatDeletesWhatNoItemMayTouchIsAFinding) {
  faults::FaultRow row = ApplicationRow();
  const faults::RowResult result = Run(row, faults::Mode::kTerminal);
  EXPECT_EQ(result.finalScreen, 8);
  EXPECT_EQ(result.changes,
            (std::vector<std::string>{"file \\flash disk2\\keep\\notes.txt removed"}));
  EXPECT_EQ(result.mismatches,
            (std::vector<std::string>{"1 change(s) outside what the row may touch"}));
}

TEST_F(FaultRowTest, ADesktopThatNeverAnswersIsCutOffAsAHang) {
  faults::FaultRow row = ApplicationRow();
  row.settings = {"desktop.stop_after: 1", "desktop.abort_after_ms: 0"};
  row.screen = 9;
  const faults::RowResult result = Run(row, faults::Mode::kDesktop);
  EXPECT_TRUE(result.hung);
  EXPECT_FALSE(result.endedByItself);
  EXPECT_EQ(result.end, "cut off by the bound");
  EXPECT_GE(result.virtualMs, m_inputs.virtualBoundMs);
  EXPECT_NE(std::find(result.mismatches.begin(), result.mismatches.end(),
                      "no end within the virtual-time bound (a hang)"),
            result.mismatches.end());
}

TEST_F(FaultRowTest, ImagePackageRowsEndAsTheTableSays) {
  for (const char* id : {"one-bit-flips", "block-write-fails", "flash-power-cut", "key-material"}) {
    SCOPED_TRACE(id);
    const faults::RowResult result = Run(Table(id), faults::Mode::kTerminal);
    EXPECT_TRUE(result.Matches()) << testing::PrintToString(result.mismatches);
  }
  // A power cut is no end by itself for a row that does not expect one.
  faults::FaultRow cut = Table("flash-power-cut");
  cut.ending = faults::Ending::kByItself;
  const faults::RowResult result = Run(cut, faults::Mode::kTerminal);
  EXPECT_EQ(result.mismatches, (std::vector<std::string>{"ended: power cut"}));
}

// The number of cells of a Markdown table line: bars not escaped with a backslash, less one.
std::size_t Cells(const std::string& line) {
  std::size_t bars = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '|' && (i == 0 || line[i - 1] != '\\')) ++bars;
  }
  return bars == 0 ? 0 : bars - 1;
}

TEST_F(FaultRowTest, AScriptErrorWithBarsIsReadBackAndStaysInItsCell) {
  // The script's line, bars and all, is part of the error that the failed screen shows.
  testing_support::WriteHostFile(
      m_inputs.packages[faults::PackageKind::kDemo],
      testing_support::BuildPackage(
          {{"Vostrel.ini", testing_support::ApplicationSettings(
                               "2.0.0", "COPY|missing.txt|\\Flash Disk2\\Navigator\\m.txt\r\n")}}));
  faults::FaultRow row = ApplicationRow();
  row.note = "a setting | with a bar";
  row.screen = 9;
  row.error = faults::ExpectedError{1030, "ProcessAppScript:", std::nullopt};
  const faults::RowResult result = Run(row, faults::Mode::kTerminal);
  EXPECT_TRUE(result.Matches()) << testing::PrintToString(result.mismatches);
  EXPECT_EQ(
      result.errorText.rfind("Failed[COPY|missing.txt|\\Flash Disk2\\Navigator\\m.txt] = [", 0), 0U)
      << result.errorText;

  const std::string table = faults::MarkdownTable({result}, "vostrel sim faults");
  std::size_t header = 0;
  std::size_t rowLines = 0;
  std::istringstream lines(table);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("| fault |", 0) == 0) header = Cells(line);
    if (line.rfind("| a setting", 0) == 0) {
      ++rowLines;
      EXPECT_EQ(Cells(line), header) << line;
    }
  }
  EXPECT_EQ(header, 10U);
  EXPECT_EQ(rowLines, 1U);
  const nlohmann::json json = faults::JsonTable({result});
  ASSERT_EQ(json.size(), 1U);
  EXPECT_EQ(json[0]["last_error"]["number"], 1030);
  EXPECT_EQ(json[0]["last_error"]["function"], "ProcessAppScript:");
  EXPECT_EQ(json[0]["matches"], true);
}

class FaultCommandTest : public testing_support::CommandTest {};

TEST_F(FaultCommandTest, WritesTheTablesOfTheRowsItRanAndRefusesAnUnknownRow) {
  const testing_support::CommandResult ran =
      Vostrel("sim faults --only no-package --only gps-silent --mode terminal --out " + Q("f.md") +
              " --json " + Q("f.json"));
  EXPECT_EQ(ran.exitCode, 0) << ran.out << ran.err;
  // The package builder's own output is kept out; the rows' lines are not.
  EXPECT_NE(ran.out.find("gps-silent                   terminal screen  9  as expected\n"),
            std::string::npos)
      << ran.out;
  EXPECT_NE(ran.out.find("2 runs in "), std::string::npos) << ran.out;
  const std::string table = testing_support::ReadHostFile(Path("f.md"));
  EXPECT_NE(table.find("build/vostrel sim faults --mode terminal --only no-package --only "
                       "gps-silent --out "),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("2 runs, 2 as expected, 0 not."), std::string::npos) << table;
  const nlohmann::json rows = nlohmann::json::parse(testing_support::ReadHostFile(Path("f.json")));
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_EQ(rows[0]["id"], "gps-silent");
  EXPECT_EQ(rows[0]["versions_after"]["gps"], "3.2.4");
  EXPECT_EQ(rows[1]["id"], "no-package");

  const testing_support::CommandResult unknown = Vostrel("sim faults --only no-such-row");
  EXPECT_EQ(unknown.exitCode, 64);
  EXPECT_NE(unknown.err.find("--only: no row no-such-row"), std::string::npos) << unknown.err;
}

TEST(FaultTableTest, TheQuickSubsetCoversEveryPartInEveryModeOfTheTable) {
  std::set<std::string> ids;
  std::set<std::pair<std::string, faults::Mode>> all;
  std::set<std::pair<std::string, faults::Mode>> quick;
  for (const faults::FaultRow& row : faults::FaultRows()) {
    EXPECT_TRUE(ids.insert(row.id).second) << "a second row " << row.id;
    EXPECT_FALSE(row.why.empty()) << row.id;
    for (const faults::Mode mode : row.modes) {
      all.emplace(row.part.name, mode);
      if (row.quick) {
        EXPECT_TRUE(quick.emplace(row.part.name, mode).second) << row.id;
      }
    }
  }
  EXPECT_EQ(quick, all);
}

// A row's settings go into its terminal through terminal.json's own reading, so a row whose
// setting is misspelt, or the same as the default, would test nothing.
TEST(FaultTableTest, EveryRowsSettingsAreTerminalJsonThatChangesTheTerminal) {
  for (const faults::FaultRow& row : faults::FaultRows()) {
    SCOPED_TRACE(row.id);
    sim::TerminalConfig config;
    const sim::Status applied = matrix::ApplySettings(row.settings, config);
    ASSERT_TRUE(applied.ok()) << applied.error();
    EXPECT_EQ(config == sim::TerminalConfig(), row.settings.empty());
  }

  sim::TerminalConfig config;
  ASSERT_TRUE(matrix::ApplySettings(
      {"gps.boot_ack: \"SA\\n\"", "shell.locked_file: \\Flash Disk2\\a \"b\".txt"}, config));
  EXPECT_EQ(config.Get<sim::GpsConfig>().bootAck, "SA\n");
  EXPECT_EQ(config.Get<sim::ShellConfig>().lockedFile, "\\Flash Disk2\\a \"b\".txt");
  const struct {
    const char* setting;
    const char* error;
  } refused[] = {
      {"gps.fault: silence",
       "setting \"gps.fault\": expected one of none, silent, nak, bad_checksum, long_reply, "
       "status"},
      {"gps.faults: silent", "setting \"gps.faults\": unknown key"},
      {"gps.fault silent", "setting \"gps.fault silent\": expected \"section.key: value\""},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.setting);
    EXPECT_EQ(matrix::ApplySettings({c.setting}, config).error(), c.error);
  }
}

}  // namespace
