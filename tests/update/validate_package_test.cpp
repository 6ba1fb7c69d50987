#include "update/validate_package.h"

#include <gtest/gtest.h>

#include <string>

#include "log/log.h"
#include "settings/settings.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

using testing_support::BuildPackage;
using testing_support::TerminalTest;

const std::string kApplicationSettings = "[SoftwareToUpdate]\r\nUpdate1=Application\r\n";

class ValidatePackageTest : public TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    StartUpdaterObjects(2);
  }
  bool Validate() {
    CValidatePackage validate(Context().m_settings, State());
    return validate.IsValidBinFile("install.bin");
  }
  void ExpectLastError(int32_t number, const std::string& text, const std::string& operation) {
    EXPECT_EQ(g_pUtils->LastError().m_nLastError, number);
    EXPECT_EQ(g_pUtils->LastError().m_strLastError, text);
    EXPECT_EQ(g_pUtils->LastError().m_strLastErrorFunction, operation);
  }
  std::string Log() { return ReadFile("\\Flash disk2\\Vostrel.log"); }
  std::string Package() {
    return BuildPackage({{"Vostrel.ini", kApplicationSettings}, {"Apps\\App.exe", "app"}});
  }
};

TEST_F(ValidatePackageTest, TerminalModeChecksExtractsAndLoads) {
  WriteFile("\\Storage Card\\install.bin", Package());
  WriteFile("\\Vostrel.ini", "an old settings file");
  ASSERT_TRUE(Validate());
  EXPECT_EQ(State().m_strPackageFolder, "\\Storage Card\\");
  EXPECT_EQ(State().m_strPackagePath, "\\Storage Card\\install.bin");
  EXPECT_EQ(State().m_strSettingsPath, "\\Vostrel.ini");
  EXPECT_EQ(ReadFile("\\Vostrel.ini"), kApplicationSettings);
  EXPECT_EQ(g_pSettings->m_nUpdate1, kSoftwareApplication);
  const std::string log = Log();
  EXPECT_NE(log.find("CValidatePackage::LoadAppSettings: Extracted [Vostrel.ini to "
                     "\\Storage Card\\][\\Vostrel.ini]"),
            std::string::npos);
  EXPECT_NE(log.find("CValidatePackage::IsValidBinFile: Found INI @ [\\Vostrel.ini]"),
            std::string::npos);
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 0);
}

TEST_F(ValidatePackageTest, AWrongChecksumFailsUnlessTheBypassMarkerIsThere) {
  std::string package = Package();
  package[package.size() - 1] ^= 0x01;
  WriteFile("\\Storage Card\\install.bin", package);
  EXPECT_FALSE(Validate());
  ExpectLastError(1019, "CHECKSUM FAILED", "CFileAccess::IsCheckSumValid:");
  EXPECT_FALSE(Exists("\\Vostrel.ini"));

  WriteFile("\\Storage Card\\nochecksum.chk", "");
  EXPECT_TRUE(Validate());
  EXPECT_NE(Log().find("CValidatePackage::IsValidBinFile: Bypassing checksum, found "
                       "[\\Storage Card\\nochecksum.chk]"),
            std::string::npos);
}

TEST_F(ValidatePackageTest, FailuresReportTheirErrors) {
  const struct {
    const char* name;
    std::string package;  // empty: no package at all
    bool bypass;
    int32_t number;
    std::string text;
    std::string operation;
  } cases[] = {
      {"no package", "", false, 1001, "Cannot open for reading [\\Storage Card\\install.bin]",
       "CFileAccess::IsCheckSumValid:"},
      {"no settings member", BuildPackage({{"App.exe", "x"}}), false, 1017,
       "Cannot extract [Vostrel.ini to \\Storage Card\\]", "CValidatePackage::LoadAppSettings"},
      {"headers that do not load", std::string("\x00\x01\x02\x03\x04\x05\x06\x07", 8), true, 1027,
       "Cannot load headers [\\Storage Card\\install.bin]", "CValidatePackage::LoadAppSettings"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Term().Files().Delete("\\Storage Card\\install.bin");
    Term().Files().Delete("\\Storage Card\\nochecksum.chk");
    if (!c.package.empty()) WriteFile("\\Storage Card\\install.bin", c.package);
    if (c.bypass) WriteFile("\\Storage Card\\nochecksum.chk", "");
    EXPECT_FALSE(Validate());
    ExpectLastError(c.number, c.text, c.operation);
  }
}

class ValidateFromFlashTest : public ValidatePackageTest {
 protected:
  sim::TerminalConfig Config() const override {
    sim::TerminalConfig config;
    config.programPath = "\\Flash Disk2\\Update\\VostrelHHT.exe";
    return config;
  }
};

TEST_F(ValidateFromFlashTest, AProgramOnAFlashVolumeIsRefused) {
  WriteFile("\\Flash Disk2\\Update\\install.bin", Package());
  EXPECT_FALSE(Validate());
  ExpectLastError(1026, "Cannot run from Flash Disk", "CValidatePackage::IsValidBinFile");
  EXPECT_FALSE(Exists("\\Vostrel.ini"));
}

class ValidateDesktopTest : public ValidatePackageTest {
 protected:
  void SetUp() override {
    ValidatePackageTest::SetUp();
    State().m_bActiveSync = 1;
  }
};

TEST_F(ValidateDesktopTest, LooksForBothFilesInTheRootFolder) {
  EXPECT_FALSE(Validate());
  ExpectLastError(1018, "Cannot find BIN \\install.bin", "CValidatePackage::IsValidBinFile");

  // Only the header part travels to the terminal: the checksum is not looked at.
  WriteFile("\\install.bin", "not even a package");
  EXPECT_FALSE(Validate());
  ExpectLastError(1018, "Cannot find INI \\Vostrel.ini", "CValidatePackage::IsValidBinFile");

  WriteFile("\\Vostrel.ini", kApplicationSettings);
  EXPECT_TRUE(Validate());
  EXPECT_EQ(State().m_strPackagePath, "\\install.bin");
  EXPECT_EQ(State().m_strPackageFolder, "\\");
  EXPECT_EQ(g_pSettings->m_nUpdate1, kSoftwareApplication);
  const std::string log = Log();
  EXPECT_NE(log.find("CValidatePackage::IsValidBinFile: Found INI file @ \\Vostrel.ini\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("CValidatePackage::IsValidBinFile: Found INI @ [\\Vostrel.ini]\r\n"),
            std::string::npos);
}

}  // namespace
