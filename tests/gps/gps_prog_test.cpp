// The GPS programming driver's decisions: which path a firmware name selects, what a command
// alone does, the driver-version gate and the verification, the names' slots, and the reports
// around the reading of the files.
#include "gps/gps_prog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gps/gps_support.h"
#include "platform/platform.h"
#include "sim/gps_chip.h"
#include "sim/gps_driver.h"

namespace {

using gps_testing::Count;
using gps_testing::InOrder;

class GpsProgTest : public gps_testing::GpsTest {
 protected:
  sim::GpsDriverConfig& Driver() { return Term().MutableConfig().Get<sim::GpsDriverConfig>(); }
  platform::Handle OpenDriver() {
    return platform::Fs().Open("GPS1:", platform::kGenericRead, platform::kShareNone,
                               platform::Disposition::kOpenExisting, 0);
  }
  // The serial path's package: the stand-in boot loader and a small S-record firmware.
  void UseSerialPackage() {
    UsePackage({{"boot.ldr", gps_testing::BootLoader()},
                {"fw.sre", gps_testing::FirmwareSRecords("3.3.0", 2048)}});
  }
};

TEST_F(GpsProgTest, OnlyBinOrBINInTheNameSelectsTheFlashEngine) {
  const struct {
    const char* name;
    bool binary;
  } cases[] = {{"VGPS.BIN", true},  {"vgps.bin", true},  {"vgps.bin.sre", true},
               {"VGPS.Bin", false}, {"VGPS.bIN", false}, {"VGPS.SRE", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(GPSProgSetFirmwareFile(Context().m_gps, c.name, "3.3.0"), 1);
    EXPECT_EQ(Context().m_gps.firmwareIsBinary, c.binary ? 1U : 0U);
    EXPECT_EQ(c.binary ? Context().m_gps.bootFileName : Context().m_gps.srecFileName, c.name);
  }
  EXPECT_NE(DebugText().find("GPS Firmware filename [VGPS.SRE] Version [3.3.0]\r\n"),
            std::string::npos);
}

TEST_F(GpsProgTest, AnSRecordFirmwareWithoutABootFileProgramsNothing) {
  UsePackage({{"fw.Bin", gps_testing::FirmwareSRecords("3.3.0", 64)}});
  GPSProgSetFirmwareFile(Context().m_gps, "fw.Bin", "3.3.0");
  EXPECT_EQ(GPSProg(Context().m_gps, Context().m_engine, Context().m_program), 0);
  const std::string debug = DebugText();
  EXPECT_TRUE(InOrder(debug, {"GPSProg: Started\r\n", "GPSProg: UPDATE FAILED\r\n"}));
  EXPECT_EQ(debug.find("Opened"), std::string::npos);
  EXPECT_TRUE(Tap().empty());
  EXPECT_FALSE(LoadAlwaysSet());
}

TEST_F(GpsProgTest, ABootFileAfterABinaryFirmwareIsWhatTheFlashEngineWrites) {
  UsePackage(
      {{"fw.bin", gps_testing::Firmware("3.3.0", 4096)}, {"boot.ldr", gps_testing::BootLoader()}});
  GPSProgSetFirmwareFile(Context().m_gps, "fw.bin", "3.3.0");
  GPSProgSetBootFile(Context().m_gps, "boot.ldr", "1");
  EXPECT_EQ(GPSProg(Context().m_gps, Context().m_engine, Context().m_program), 0);
  EXPECT_NE(DebugText().find("GPSProg: Opened 'boot.ldr', size '1024' bytes\r\n"),
            std::string::npos);
  const std::vector<uint8_t> flash = Term().Find<sim::GpsChip>()->FlashContents();
  EXPECT_EQ(gps_testing::AsString({flash.begin(), flash.begin() + 1024}),
            gps_testing::BootLoader());
  // The boot loader carries no version; the old firmware's record further up the flash is what
  // the driver finds, so the verification fails and the driver loads always.
  EXPECT_EQ(Term().Find<sim::GpsChip>()->FirmwareVersion(), "3.2.4");
  EXPECT_TRUE(LoadAlwaysSet());
}

TEST_F(GpsProgTest, AVersionAnswerWithAWrongCountPassesTheGateAndTheVerification) {
  Driver().returnedCount = 7;
  UseSerialPackage();
  GPSProgSetBootFile(Context().m_gps, "boot.ldr", "99");
  GPSProgSetFirmwareFile(Context().m_gps, "fw.sre", "9.9.9");
  EXPECT_EQ(GPSProg(Context().m_gps, Context().m_engine, Context().m_program), 1);
  EXPECT_EQ(Term().Find<sim::GpsChip>()->FirmwareVersion(), "3.3.0");
  EXPECT_FALSE(LoadAlwaysSet());
  EXPECT_EQ(Term().Find<sim::GpsDriver>()->Completions(), 1);
}

TEST_F(GpsProgTest, TheVerificationComparesAtMostFiveCharactersFromTheEnd) {
  const struct {
    const char* answer;
    const char* expected;
    bool passes;
  } cases[] = {
      {"2.10/VGPS 3.3.0", "3.3.0", true},
      {"2.10/VGPS 3.3.0", "3.3.1", false},
      {"2.10/VGPS 3.3.0", "3.3", false},
      {"2.10/VGPS 3.3.0", "3.3.0.7", true},
      {"2.10/VGPS 13.3.0", "3.3.0", true},
      {"1.2", "1.2", true},
      {"1.2", "1.2.3", false},
      {"", "", true},
  };
  const platform::Handle driver = OpenDriver();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.answer << " / " << c.expected);
    Driver().answer = c.answer;
    Context().m_gps.expectedVersion = c.expected;
    EXPECT_EQ(GPSVerifyFirmwareVersion(Context().m_gps, driver), c.passes);
  }
  platform::Fs().Close(driver);
}

TEST_F(GpsProgTest, TheGateComparesTheLeadingNumbers) {
  const struct {
    const char* minimum;
    const char* answer;
    bool passes;
  } cases[] = {
      {"2", "2.10/VGPS 3.2.4", true},
      {"3", "2.10/VGPS 3.2.4", false},
      {"3/x", "3/VGPS", true},
      {" +4", "4", true},
      {"-1", "0", true},
      {"none", "0/VGPS", true},
      {"1", "VGPS 3.2.4", false},
      {"99999999999", "2147483647/", true},
  };
  const platform::Handle driver = OpenDriver();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.minimum << " / " << c.answer);
    Driver().answer = c.answer;
    Context().m_gps.minDriverVersion = c.minimum;
    EXPECT_EQ(GPSCheckDriverVersion(Context().m_gps, driver), c.passes);
  }
  platform::Fs().Close(driver);
}

TEST_F(GpsProgTest, NamesLongerThanTheirSlotsAreRefusedAndVersionsCut) {
  EXPECT_EQ(GPSProgSetBootFile(Context().m_gps, std::string(259, 'b'), "12345678901234"), 1);
  EXPECT_EQ(Context().m_gps.minDriverVersion, "12345678901");
  EXPECT_EQ(GPSProgSetBootFile(Context().m_gps, std::string(260, 'b'), "1"), 0);
  EXPECT_EQ(Context().m_gps.bootFileGiven, 0U);
  EXPECT_EQ(GPSProgSetFirmwareFile(Context().m_gps, std::string(255, 's'), "3.3.0-beta.1"), 1);
  EXPECT_EQ(Context().m_gps.expectedVersion, "3.3.0-bet");
  EXPECT_EQ(GPSProgSetFirmwareFile(Context().m_gps, std::string(256, 's'), "3.3.0"), 0);
  EXPECT_EQ(Context().m_gps.firmwareGiven, 0U);
  // A binary name has the boot file's larger slot.
  EXPECT_EQ(GPSProgSetFirmwareFile(Context().m_gps, std::string(252, 's') + ".bin", "3.3.0"), 1);
  EXPECT_EQ(GPSProg(Context().m_gps, Context().m_engine, Context().m_program), 0);
}

TEST_F(GpsProgTest, TheLastProgressIs200UnlessTheFirstFileCannotBeOpened) {
  UsePackage({{"boot.ldr", gps_testing::BootLoader()}});
  GPSProgSetBootFile(Context().m_gps, "boot.ldr", "1");
  GPSProgSetFirmwareFile(Context().m_gps, "missing.sre", "3.3.0");
  EXPECT_EQ(GPSProg(Context().m_gps, Context().m_engine, Context().m_program), 0);
  std::string debug = DebugText();
  EXPECT_TRUE(
      InOrder(debug, {"GPSProg: Read Binary file ok\r\n", "GPSProg: CANNOT OPEN 'missing.sre'\r\n",
                      "GPSProg: Progress [200%]\r", "GPSProg: UPDATE FAILED\r\n"}));
  GPSProgSetBootFile(Context().m_gps, "missing.ldr", "1");
  const std::size_t before = debug.size();
  EXPECT_EQ(GPSProg(Context().m_gps, Context().m_engine, Context().m_program), 0);
  debug = DebugText().substr(before);
  EXPECT_TRUE(
      InOrder(debug, {"GPSProg: CANNOT OPEN 'missing.ldr'\r\n", "GPSProg: UPDATE FAILED\r\n"}));
  EXPECT_EQ(Count(debug, "[200%]"), 0U);
}

}  // namespace
