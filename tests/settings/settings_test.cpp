#include "settings/settings.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/platform.h"
#include "support/terminal_fixture.h"
#include "text/text.h"
#include "update/settings_bytes.h"

namespace {

using settings_testing::kEncodings;
using settings_testing::Repeat;
using testing_support::TerminalTest;

constexpr const char* kPath = "\\Storage Card\\Vostrel.ini";
constexpr const char* kLogPath = "\\Flash disk2\\Vostrel.log";

// A package's settings as a release engineer writes them, with the mistakes the terminal
// forgives: a gap in the OS numbering, a blank before "=", a definition with one "|".
const std::string kSettings =
    "; Update package settings\n"
    "[SoftwareToUpdate]\n"
    "Update1=application\n"
    "Update2=\n"
    "Update3=Kernel\n"
    "\n"
    "[os]\n"
    "OSSoftware1=OS|5.20|EBOOT2.NB0^0^BOOT\n"
    "OSSoftware3=OS|5.30|NK.BIN^1^KRNL\n"
    "\n"
    "[Application]\n"
    "appsoftware1=App|3.1.4|AppScript\n"
    "AppSoftware2=A|only\n"
    "\n"
    "[GPS]\n"
    "GpsSoftware1=GPS|2.1|gpsboot.bin^BOOT\n"
    "GpsSoftware2=g|3.4.0|gsp3fw.s19^FIRMWARE\n"
    "\n"
    "[LanguageConfiguration]\n"
    "VerCol1 =Programm\n"
    "VerCol2= Aktuell\n"
    "VerCol4=Aktualisieren\n"
    "yes=Ja\n"
    "No=Não\n"
    "\n"
    "[AppScript]\n"
    "###CommandStart### text here is no command\n"
    "COPY \\Storage Card\\app.exe\n"
    "ab\n"
    ";DELETE \\Flash Disk2\\old.dll\n"
    "DELETE \\Flash Disk2\\old.dll\n"
    "###CommandEnd###\n"
    "COPY after.end\n";

struct Definition {
  SoftwareType type;
  std::string version;
  std::string command;
  bool operator==(const Definition&) const = default;
  friend void PrintTo(const Definition& d, std::ostream* os) {
    *os << "{" << CUpdateSettings::SoftwareTypeName(d.type) << ", \"" << d.version << "\", \""
        << d.command << "\"}";
  }
};

std::vector<Definition> Definitions(const CUpdateSettings& settings) {
  std::vector<Definition> out;
  for (int i = 0; i < settings.m_nDefinitions; ++i) {
    const SoftwareDefinition& d = settings.m_definitions[i];
    out.push_back({d.type, d.version, d.command});
  }
  return out;
}

std::vector<std::string> Script(const CUpdateSettings& settings) {
  return {settings.m_commandScript.begin(), settings.m_commandScript.end()};
}

void ExpectSettingsLoaded(const CUpdateSettings& s) {
  EXPECT_EQ(s.m_nUpdate1, kSoftwareApplication);
  EXPECT_EQ(s.m_nUpdate2, kSoftwareNone);
  EXPECT_EQ(s.m_nUpdate3, kSoftwareNone);
  EXPECT_EQ(s.m_bOSSelected, 0);
  EXPECT_EQ(s.m_bAppSelected, 1);
  EXPECT_EQ(s.m_bGPSSelected, 0);
  EXPECT_EQ(Definitions(s), (std::vector<Definition>{
                                {kSoftwareOS, "5.20", "EBOOT2.NB0^0^BOOT"},
                                {kSoftwareApplication, "3.1.4", "AppScript"},
                                {kSoftwareApplication, "", ""},
                                {kSoftwareGPS, "2.1", "gpsboot.bin^BOOT"},
                                {kSoftwareGPS, "3.4.0", "gsp3fw.s19^FIRMWARE"},
                            }));
  EXPECT_EQ(s.m_strVerCol1, "Software");
  EXPECT_EQ(s.m_strVerCol2, " Aktuell");
  EXPECT_EQ(s.m_strVerCol3, "New");
  EXPECT_EQ(s.m_strVerCol4, "Aktualisieren");
  EXPECT_EQ(s.m_strYes, "Ja");
  EXPECT_EQ(s.m_strNo, "Não");
  EXPECT_EQ(Script(s), (std::vector<std::string>{"COPY \\Storage Card\\app.exe",
                                                 "DELETE \\Flash Disk2\\old.dll"}));
}

void ExpectDefaults(const CUpdateSettings& s) {
  EXPECT_EQ(s.m_nUpdate1, kSoftwareNone);
  EXPECT_EQ(s.m_bAppSelected, 0);
  EXPECT_EQ(s.m_nDefinitions, 0);
  EXPECT_EQ(s.m_strVerCol1, "Software");
  EXPECT_EQ(s.m_strVerCol2, "Current");
  EXPECT_EQ(s.m_strVerCol3, "New");
  EXPECT_EQ(s.m_strVerCol4, "Update");
  EXPECT_EQ(s.m_strYes, "Yes");
  EXPECT_EQ(s.m_strNo, "No");
  EXPECT_TRUE(s.m_commandScript.empty());
}

// The terminal's file system, with the settings file failing after a number of opens and every
// text-stream open counted.
class FlakyFileSystem final : public platform::FileSystem {
 public:
  enum class Failure { kVanishes, kLocked };

  FlakyFileSystem(platform::FileSystem& inner, std::string path)
      : m_inner(inner), m_path(std::move(path)) {}

  int opensLeft = -1;  // -1: never fails
  Failure failure = Failure::kVanishes;
  int opens = 0;
  int textOpens = 0;

  bool FindAll(std::string_view pattern, std::vector<platform::FindEntry>* entries) override {
    if (IsSettings(pattern) && opensLeft == 0 && failure == Failure::kVanishes) {
      platform::SetLastError(platform::kErrorFileNotFound);
      return false;
    }
    return m_inner.FindAll(pattern, entries);
  }
  platform::Handle Open(std::string_view path, uint32_t access, uint32_t share,
                        platform::Disposition disposition, uint32_t flags) override {
    if (IsSettings(path)) {
      if (opensLeft == 0) {
        platform::SetLastError(failure == Failure::kVanishes ? platform::kErrorFileNotFound
                                                             : platform::kErrorSharingViolation);
        return platform::kInvalidHandle;
      }
      if (opensLeft > 0) --opensLeft;
      ++opens;
    }
    return m_inner.Open(path, access, share, disposition, flags);
  }
  uint32_t GetAttributes(std::string_view path) override { return m_inner.GetAttributes(path); }
  bool SetAttributes(std::string_view path, uint32_t attributes) override {
    return m_inner.SetAttributes(path, attributes);
  }
  bool Read(platform::Handle file, void* buffer, uint32_t count, uint32_t* read) override {
    return m_inner.Read(file, buffer, count, read);
  }
  bool Write(platform::Handle file, const void* buffer, uint32_t count,
             uint32_t* written) override {
    return m_inner.Write(file, buffer, count, written);
  }
  uint32_t Seek(platform::Handle file, int32_t distance, platform::SeekOrigin origin) override {
    return m_inner.Seek(file, distance, origin);
  }
  uint32_t GetSize(platform::Handle file) override { return m_inner.GetSize(file); }
  bool Close(platform::Handle file) override { return m_inner.Close(file); }
  bool Delete(std::string_view path) override { return m_inner.Delete(path); }
  bool Move(std::string_view from, std::string_view to) override { return m_inner.Move(from, to); }
  bool CreateFolder(std::string_view path) override { return m_inner.CreateFolder(path); }
  bool RemoveFolder(std::string_view path) override { return m_inner.RemoveFolder(path); }
  platform::Handle OpenText(std::string_view path, platform::TextMode mode) override {
    ++textOpens;
    return m_inner.OpenText(path, mode);
  }
  bool WriteText(platform::Handle stream, std::string_view text) override {
    return m_inner.WriteText(stream, text);
  }
  bool CloseText(platform::Handle stream) override { return m_inner.CloseText(stream); }

 private:
  bool IsSettings(std::string_view path) const { return text::EqualsNoCase(path, m_path); }

  platform::FileSystem& m_inner;
  std::string m_path;
};

class UpdateSettingsTest : public TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    StartUpdaterObjects(1);
  }
  void TearDown() override {
    Term().Install();
    TerminalTest::TearDown();
  }

  // Puts a flaky file system between the updater and the terminal until the test ends.
  FlakyFileSystem& InstallFlaky() {
    m_flaky = std::make_unique<FlakyFileSystem>(Term().Files(), kPath);
    platform::Backend backend = Term().Backend();
    backend.files = m_flaky.get();
    platform::Install(backend);
    return *m_flaky;
  }

  // The texts of the log's entries, without their times and date lines.
  std::vector<std::string> LogEntries() {
    const std::string log = ReadFile(kLogPath);
    std::vector<std::string> entries;
    const std::size_t body = log.find("Time      Remark\r\n");
    if (body == std::string::npos) return entries;
    std::size_t pos = body + 18;
    while (pos < log.size()) {
      const std::size_t end = log.find("\r\n", pos);
      const std::string line = log.substr(pos, end - pos);
      pos = end == std::string::npos ? log.size() : end + 2;
      if (line.size() < 10 || line.find("Current date is") != std::string::npos) continue;
      entries.push_back(line.substr(10));
    }
    return entries;
  }

 private:
  std::unique_ptr<FlakyFileSystem> m_flaky;
};

TEST_F(UpdateSettingsTest, LoadsTheSameSettingsFromEveryEncodingByPathAndFromBytes) {
  for (const auto& encoding : kEncodings) {
    SCOPED_TRACE(encoding.name);
    const std::string bytes = encoding.encode(kSettings);
    WriteFile(kPath, bytes);
    {
      SCOPED_TRACE("Load");
      CUpdateSettings settings;
      settings.Load(kPath);
      ExpectSettingsLoaded(settings);
    }
    {
      SCOPED_TRACE("LoadFromBytes");
      CUpdateSettings settings;
      settings.LoadFromBytes(bytes);
      ExpectSettingsLoaded(settings);
    }
  }
  EXPECT_EQ(Term().Files().OpenHandleCount(), 0U);
}

TEST_F(UpdateSettingsTest, UpdateKindsTakeOnlyTheFirstCharacter) {
  const struct {
    const char* update1;
    const char* update2;
    const char* update3;
    SoftwareType kind1;
    int os, app, gps;
  } cases[] = {
      {"application", "", "K", kSoftwareApplication, 0, 1, 0},
      {"Os", "gps", "a", kSoftwareOS, 1, 1, 1},
      {"Kernel", "GPS", "", kSoftwareNone, 0, 0, 1},
      {" OS", "", "", kSoftwareNone, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.update1);
    CUpdateSettings settings;
    settings.LoadFromBytes(text::Sprintf("[SoftwareToUpdate]\nUpdate1=%s\nUpdate2=%s\nUpdate3=%s\n",
                                         c.update1, c.update2, c.update3));
    EXPECT_EQ(settings.m_nUpdate1, c.kind1);
    EXPECT_EQ(settings.m_bOSSelected, c.os);
    EXPECT_EQ(settings.m_bAppSelected, c.app);
    EXPECT_EQ(settings.m_bGPSSelected, c.gps);
  }
}

TEST_F(UpdateSettingsTest, TableHoldsTenDefinitionsForTheThreeListsTogether) {
  g_pLog->SetDebugLevel(1);
  // Four of each; values with fewer than two "|" count like any other.
  std::string file = "[OS]\n";
  for (int i = 1; i <= 4; ++i) file += text::Sprintf("OSSoftware%d=OS|%d\n", i, i);
  file += "[Application]\n";
  for (int i = 1; i <= 4; ++i) file += text::Sprintf("AppSoftware%d=A\n", i);
  file += "[GPS]\n";
  for (int i = 1; i <= 4; ++i) file += text::Sprintf("GpsSoftware%d=G|%d|g%d^FIRMWARE\n", i, i, i);
  WriteFile(kPath, file);

  CUpdateSettings settings;
  settings.Load(kPath);
  ASSERT_EQ(settings.m_nDefinitions, CUpdateSettings::kMaxDefinitions);
  EXPECT_EQ(settings.m_definitions[3].type, kSoftwareOS);
  EXPECT_EQ(settings.m_definitions[4].type, kSoftwareApplication);
  EXPECT_EQ(settings.m_definitions[9].command, "g2^FIRMWARE");
  EXPECT_EQ(LogEntries(),
            (std::vector<std::string>{"CUpdateSettings::Load: No room for software definition "
                                      "[G|3|g3^FIRMWARE]"}));
}

TEST_F(UpdateSettingsTest, FullTableStopsReadingEveryList) {
  std::string file = "[OS]\n";
  for (int i = 1; i <= 2000; ++i)
    file += text::Sprintf("OSSoftware%d=OS|%d|nk%d^1^KRNL\n", i, i, i);
  file += "[Application]\nAppSoftware1=A|1|Script\n[GPS]\nGpsSoftware1=G|1|g^BOOT\n";
  WriteFile(kPath, file);
  FlakyFileSystem& files = InstallFlaky();

  CUpdateSettings settings;
  settings.Load(kPath);
  EXPECT_EQ(settings.m_nDefinitions, CUpdateSettings::kMaxDefinitions);
  EXPECT_EQ(settings.m_definitions[9].version, "10");
  EXPECT_EQ(settings.FindApplicationDefinition(), nullptr);
  // Three kinds, ten definitions and the refused eleventh, six texts.
  EXPECT_EQ(files.opens, 3 + 11 + 6);
  EXPECT_EQ(LogEntries(),
            (std::vector<std::string>{"CUpdateSettings::Load: No room for software definition "
                                      "[OS|11|nk11^1^KRNL]"}));
}

TEST_F(UpdateSettingsTest, DefinitionsCountOnFromTheCurrentNumber) {
  const std::string file = "[OS]\nOSSoftware1=OS|1|a^0^BOOT\nOSSoftware2=OS|2|b^1^KRNL\n";
  CUpdateSettings settings;
  settings.LoadFromBytes(file);
  settings.LoadFromBytes(file);
  ASSERT_EQ(settings.m_nDefinitions, 4);
  EXPECT_EQ(settings.m_definitions[2].version, "1");

  settings.m_nDefinitions = 9;
  settings.LoadFromBytes(file);
  EXPECT_EQ(settings.m_nDefinitions, 10);
  EXPECT_EQ(settings.m_definitions[9].version, "1");
}

TEST_F(UpdateSettingsTest, AMissingOrLockedFileGivesTheDefaults) {
  {
    SCOPED_TRACE("missing");
    CUpdateSettings settings;
    settings.Load(kPath);
    ExpectDefaults(settings);
  }
  WriteFile(kPath, kSettings);
  const platform::Handle held =
      Term().Files().OpenFor(2, kPath, platform::kGenericRead, platform::kShareNone,
                             platform::Disposition::kOpenExisting, 0);
  ASSERT_NE(held, platform::kInvalidHandle);
  {
    SCOPED_TRACE("locked");
    CUpdateSettings settings;
    settings.Load(kPath);
    ExpectDefaults(settings);
  }
}

// The file goes away part way through: what was read stays, the rest takes its defaults and no
// value read before stands in for one that could not be read.
TEST_F(UpdateSettingsTest, AFileThatGoesAwayWhileLoadingEndsItsListsWithDefaults) {
  for (const auto failure :
       {FlakyFileSystem::Failure::kVanishes, FlakyFileSystem::Failure::kLocked}) {
    SCOPED_TRACE(failure == FlakyFileSystem::Failure::kVanishes ? "vanishes" : "locked");
    WriteFile(kPath, kSettings);
    FlakyFileSystem& files = InstallFlaky();
    files.failure = failure;
    // Update1 to Update3, OSSoftware1, OSSoftware2 (missing); then AppSoftware1 fails.
    files.opensLeft = 5;
    CUpdateSettings settings;
    settings.Load(kPath);
    EXPECT_EQ(settings.m_nUpdate1, kSoftwareApplication);
    EXPECT_EQ(Definitions(settings),
              (std::vector<Definition>{{kSoftwareOS, "5.20", "EBOOT2.NB0^0^BOOT"}}));
    EXPECT_EQ(settings.m_strVerCol2, "Current");
    EXPECT_EQ(settings.m_strNo, "No");
    EXPECT_TRUE(settings.m_commandScript.empty());

    // Everything but the script: 3 kinds, 2 + 3 + 3 definition keys, 6 texts.
    files.opensLeft = 17;
    CUpdateSettings noScript;
    noScript.Load(kPath);
    EXPECT_EQ(noScript.m_strNo, "Não");
    ASSERT_NE(noScript.FindApplicationDefinition(), nullptr);
    EXPECT_TRUE(noScript.m_commandScript.empty());
  }
}

TEST_F(UpdateSettingsTest, ParsesSoftwareDefinitions) {
  const struct {
    const char* value;
    Definition expected;
  } cases[] = {
      {"OS|5.20|NK.BIN^1^KRNL", {kSoftwareOS, "5.20", "NK.BIN^1^KRNL"}},
      {"app|1.0|Script|with|bars", {kSoftwareApplication, "1.0", "Script|with|bars"}},
      {"Gps||", {kSoftwareGPS, "", ""}},
      {"A|only", {kSoftwareApplication, "", ""}},
      {"OS", {kSoftwareOS, "", ""}},
      {"|1|x", {kSoftwareNone, "1", "x"}},
      {"Kernel|1|x", {kSoftwareNone, "1", "x"}},
      {"", {kSoftwareNone, "", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    SoftwareDefinition entry{kSoftwareGPS, "old version", "old command"};
    CUpdateSettings::ParseSoftwareDefinition(c.value, &entry);
    EXPECT_EQ((Definition{entry.type, entry.version, entry.command}), c.expected);
  }
}

TEST_F(UpdateSettingsTest, ParsesOSCommands) {
  const struct {
    const char* command;
    bool valid;
    std::string file;
    int partition;
    std::string kind;
  } cases[] = {
      {"NK.BIN^1^KRNL", true, "NK.BIN", 1, "KRNL"},
      {"EBOOT2.NB0^0^BOOT", true, "EBOOT2.NB0", 0, "BOOT"},
      {"nk.bin^9^krnl^x", true, "nk.bin", 9, "krnl^x"},
      {"NK.BIN^12^KRNL", true, "NK.BIN", 1, "KRNL"},
      {"NK.BIN^A^KRNL", false, "NK.BIN", 'A' - '0', "KRNL"},
      {"NK.BIN^/^KRNL", false, "NK.BIN", -1, "KRNL"},
      {"NK.BIN^^KRNL", false, "NK.BIN", '^' - '0', "KRNL"},
      {"^1^KRNL", false, "", 1, "KRNL"},
      {"NK.BIN^1^", false, "NK.BIN", 1, ""},
      {"NK.BIN^1", false, "NK.BIN", 1, ""},
      {"NK.BIN^", false, "NK.BIN", -1, ""},
      {"NK.BIN", false, "", -1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    std::string file = "old";
    std::string kind = "old";
    int partition = 77;
    EXPECT_EQ(CUpdateSettings::ParseOSCommand(c.command, &file, &partition, &kind), c.valid);
    EXPECT_EQ(file, c.file);
    EXPECT_EQ(kind, c.kind);
    EXPECT_EQ(partition, c.partition);
  }
}

TEST_F(UpdateSettingsTest, ParsesGPSCommands) {
  const struct {
    const char* command;
    bool valid;
    std::string file;
    std::string kind;
  } cases[] = {
      {"gsp3fw.s19^FIRMWARE", true, "gsp3fw.s19", "FIRMWARE"},
      {"boot.bin^BOOT^x", true, "boot.bin", "BOOT^x"},
      {"^BOOT", false, "", "BOOT"},
      {"boot.bin^", false, "boot.bin", ""},
      {"boot.bin", false, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    std::string file = "old";
    std::string kind = "old";
    EXPECT_EQ(CUpdateSettings::ParseGPSCommand(c.command, &file, &kind), c.valid);
    EXPECT_EQ(file, c.file);
    EXPECT_EQ(kind, c.kind);
  }
}

TEST_F(UpdateSettingsTest, FindsDefinitionsByTypeAndKind) {
  CUpdateSettings settings;
  settings.LoadFromBytes(
      "[OS]\n"
      "OSSoftware1=OS|1|NK.BIN^A^KRNL\n"
      "OSSoftware2=OS|2|NK.BIN^1^KRNL\n"
      "OSSoftware3=OS|3|noKind^0^\n"
      "OSSoftware4=OS|4\n"
      "[Application]\n"
      "AppSoftware1=A|5|boot.bin^BOOT\n"
      "AppSoftware2=A|6|Script\n"
      "AppSoftware3=A|7|Other\n"
      "[GPS]\n"
      "GpsSoftware1=G|8|fw.s19^Firmware\n"
      "GpsSoftware2=G|9|boot.bin^BOOT\n");
  ASSERT_EQ(settings.m_nDefinitions, 9);
  const auto version = [](const SoftwareDefinition* entry) {
    return entry == nullptr ? std::string("none") : entry->version;
  };
  // The first OS definition is found by its kind although its partition is a letter.
  EXPECT_EQ(version(settings.FindOSDefinition("krnl")), "1");
  EXPECT_EQ(version(settings.FindOSDefinition("BOOT")), "none");
  EXPECT_EQ(version(settings.FindOSDefinition("")), "none");
  // An Application definition with a GPS command is no GPS definition.
  EXPECT_EQ(version(settings.FindGPSDefinition("boot")), "9");
  EXPECT_EQ(version(settings.FindGPSDefinition("FIRMWARE")), "8");
  EXPECT_EQ(version(settings.FindApplicationDefinition()), "5");

  CUpdateSettings empty;
  EXPECT_EQ(empty.FindApplicationDefinition(), nullptr);
  EXPECT_EQ(empty.FindOSDefinition("KRNL"), nullptr);
  EXPECT_EQ(empty.FindGPSDefinition("BOOT"), nullptr);
}

TEST_F(UpdateSettingsTest, ReadsTheScriptBlockAfterTheHeader) {
  const std::string head = "[Application]\nAppSoftware1=A|1|AppScript\n";
  const struct {
    const char* name;
    std::string file;
    std::vector<std::string> script;
  } cases[] = {
      {"short lines, comments and the start line's text are dropped",
       kSettings,
       {"COPY \\Storage Card\\app.exe", "DELETE \\Flash Disk2\\old.dll"}},
      {"lines count with their line end",
       head + "[AppScript]\r\n###CommandStart###\r\nab\r\nabc\nx\n###CommandEnd###\r\n",
       {"ab", "abc"}},
      {"the last line needs four characters, counted in units",
       head + "[AppScript]\n###CommandStart###\nabcd\nabé",
       {"abcd"}},
      {"markers and header are matched exactly",
       head + "[appscript]\n###CommandStart###\nNO\n###CommandEnd###\n"
              "[AppScript]\n###commandstart###\nNO\n###CommandStart###\nYES\n"
              "###COMMANDEND###\n###CommandEnd###\nNO\n",
       {"YES", "###COMMANDEND###"}},
      {"header seen is never cleared",
       head + "[AppScript]\nnothing\n[Other]\nKey=1\n###CommandStart###\nRUN\n###CommandEnd###\n",
       {"RUN"}},
      {"a start before the header is ignored",
       head + "###CommandStart###\nEARLY\n###CommandEnd###\n[AppScript]\n"
              "###CommandStart###\nLATE\n###CommandEnd###\n",
       {"LATE"}},
      {"the header stands at the line's start and may be followed by text",
       head + "  [AppScript]\n###CommandStart###\nNO\n###CommandEnd###\n"
              "[AppScript] the script\n###CommandStart###\nRUN\n",
       {"RUN"}},
      {"blank lines count and only a ; in the first column is a comment",
       head + "[AppScript]\n###CommandStart###\n  ; kept\n\n    \nDEL ;x\n",
       {"  ; kept", "    ", "DEL ;x"}},
      {"a section without start has no script",
       head + "[AppScript]\nCOPY x\n###CommandEnd###\n",
       {}},
      {"no section, no script", head, {}},
      {"script lines are cut at 511 and their rest is dropped",
       head + "[AppScript]\n###CommandStart###\n" + Repeat("x", 511) + "\n" + Repeat("y", 511) +
           "DELETE phantom\nLAST\n",
       {Repeat("x", 511), Repeat("y", 511), "LAST"}},
  };
  for (const auto& encoding : kEncodings) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(encoding.name) + ": " + c.name);
      CUpdateSettings settings;
      settings.LoadFromBytes(encoding.encode(c.file));
      EXPECT_EQ(Script(settings), c.script);
    }
  }
}

TEST_F(UpdateSettingsTest, ScriptOfAFileThatCannotBeOpenedStaysAsItWas) {
  CUpdateSettings settings;
  settings.m_commandScript.push_back("KEEP");
  settings.LoadCommandScript(kPath, "AppScript");
  WriteFile(kPath, kSettings);
  settings.LoadCommandScript(kPath, "AppScript");
  EXPECT_EQ(Script(settings), (std::vector<std::string>{"KEEP", "COPY \\Storage Card\\app.exe",
                                                        "DELETE \\Flash Disk2\\old.dll"}));
}

TEST_F(UpdateSettingsTest, LogsTheSettingsAsOneBatchAtLevelThree) {
  g_pLog->SetDebugLevel(3);
  CUpdateSettings settings;
  settings.LoadFromBytes(kSettings);
  settings.m_definitions[1].version = "100%d";
  FlakyFileSystem& files = InstallFlaky();
  settings.LogSettings();
  EXPECT_EQ(files.textOpens, 1);
  EXPECT_EQ(
      LogEntries(),
      (std::vector<std::string>{
          "Ini parameters start",
          "Update1=Application",
          "Update2=None",
          "Update3=None",
          "Software Definition [1] is of type [OS], Version [5.20], "
          "Command[EBOOT2.NB0^0^BOOT]",
          "Software Definition [2] is of type [Application], Version [100%d], "
          "Command[AppScript]",
          "Software Definition [3] is of type [Application], Version [], Command[]",
          "Software Definition [4] is of type [GPS], Version [2.1], Command[gpsboot.bin^BOOT]",
          "Software Definition [5] is of type [GPS], Version [3.4.0], "
          "Command[gsp3fw.s19^FIRMWARE]",
          "Command [1] = [COPY \\Storage Card\\app.exe]",
          "Command [2] = [DELETE \\Flash Disk2\\old.dll]",
          "Ini parameters end.",
      }));

  CUpdateSettings empty;
  empty.LogSettings();
  const std::vector<std::string> entries = LogEntries();
  EXPECT_EQ(std::vector<std::string>(entries.end() - 6, entries.end()),
            (std::vector<std::string>{"Ini parameters start", "Update1=None", "Update2=None",
                                      "Update3=None", "There are no Application Command Scripts",
                                      "Ini parameters end."}));
}

TEST_F(UpdateSettingsTest, LogsNothingBelowLevelThree) {
  g_pLog->SetDebugLevel(2);
  const std::string before = ReadFile(kLogPath);
  CUpdateSettings settings;
  settings.LoadFromBytes(kSettings);
  settings.LogSettings();
  EXPECT_EQ(ReadFile(kLogPath), before);
}

}  // namespace
