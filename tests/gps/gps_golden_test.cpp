// Whole GPS updates at debug level 3 compared with reviewed transcripts, one for each path: the
// screen trace, the log and the kernel debug output, where every status text and progress
// report of the programming appears. After a deliberate change, VOSTREL_UPDATE_GOLDEN=1 rewrites
// them, and they are reviewed like code.
#include <gtest/gtest.h>

#include <string>

#include "gps/gps_support.h"
#include "support/golden.h"

namespace {

using gps_testing::GpsSettings;
using testing_support::BuildPackage;

struct GoldenCase {
  const char* name;
  bool flashEngine;
};

class GpsGoldenTest : public testing_support::TerminalTest,
                      public ::testing::WithParamInterface<GoldenCase> {
 protected:
  std::string Package() const {
    if (GetParam().flashEngine) {
      return BuildPackage({{"Vostrel.ini", GpsSettings({{"3.3.0", "VGPS_330.BIN^FIRMWARE"}})},
                           {"VGPS_330.BIN", gps_testing::Firmware("3.3.0", 5000)}});
    }
    return BuildPackage({{"Vostrel.ini", GpsSettings({{"2", "GPSBOOT.LDR^BOOT"},
                                                      {"3.3.0", "VGPS_330.SRE^FIRMWARE"}})},
                         {"GPSBOOT.LDR", gps_testing::BootLoader()},
                         {"VGPS_330.SRE", gps_testing::FirmwareSRecords("3.3.0", 42 * 32)}});
  }
};

TEST_P(GpsGoldenTest, MatchesTheReviewedTranscript) {
  WriteFile("\\Flash Disk2\\rerunner.exe", "");
  WriteFile("\\Storage Card\\install.bin", Package());
  // A successful update deletes its log; every entry is in the debug output too ("LOG:").
  const sim::RunOutcome outcome = Run("PLAY", "", 3);
  ASSERT_EQ(outcome.screens.back(), 8);
  testing_support::ExpectGolden(
      GetParam().name, testing_support::ScreenTrace(outcome) + "== debug output\n" + DebugText());
}

INSTANTIATE_TEST_SUITE_P(Paths, GpsGoldenTest,
                         ::testing::Values(GoldenCase{"gps-flash-engine", true},
                                           GoldenCase{"gps-boot-loader", false}),
                         [](const ::testing::TestParamInfo<GoldenCase>& param) {
                           return std::string(param.param.flashEngine ? "FlashEngine"
                                                                      : "BootLoader");
                         });

}  // namespace
