// Whole kernel updates at debug level 3 compared with reviewed transcripts, in each run mode:
// the screen trace, what is left of the log, and the kernel debug output. The destination
// addresses of the image reader's trace are the host's and are masked. After a deliberate
// change, VOSTREL_UPDATE_GOLDEN=1 rewrites the transcripts, which are then reviewed like code.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "flash/flash_support.h"
#include "flash/image_format.h"
#include "sim/image_cipher.h"
#include "support/golden.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"
#include "text/text.h"

namespace {

using testing_support::BuildPackage;
using testing_support::TerminalTest;

class FlashGoldenTest : public TerminalTest, public ::testing::WithParamInterface<bool> {
 protected:
  sim::TerminalConfig Config() const override { return flash_testing::SmallTerminal(); }

  static std::string Package() {
    const uint32_t start = 0x80200000;
    const std::string kernel =
        flash_testing::BinHeader(start, 100000) +
        flash_testing::Record(start, flash_testing::VersionedImage("4.2.121", 60000, 21)) +
        flash_testing::Record(start + 70000, flash_testing::Pattern(30000, 22), 0x12345678) +
        flash_testing::EndRecord();
    return BuildPackage({{"Vostrel.ini",
                          "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\n"
                          "OSSoftware1=OS|4.2.121|NK.BIN^1^KRNL\r\n"},
                         {"NK.BIN", image_format::EncryptImage(kernel, "Mesa cap")}});
  }

  static std::string Transcript(const sim::RunOutcome& outcome, const std::string& log,
                                const std::string& debug) {
    std::string text = testing_support::ScreenTrace(outcome);
    text +=
        text::Sprintf("== kernel version after the restart: %s\n", outcome.parts[1].installedAfter);
    static const std::regex kAddress("(Fetching -?[0-9]+ bytes, to )-?[0-9]+");
    return text + std::regex_replace(
                      testing_support::LogAndDebugOutput("\\Flash disk2\\Vostrel.log", log, debug),
                      kAddress, "$1<address>");
  }
};

TEST_P(FlashGoldenTest, KernelUpdateMatchesTheReviewedTranscript) {
  const bool desktop = GetParam();
  const sim::RunOutcome outcome =
      desktop ? RunDesktop("PLAY PLAY", Package(), {}, 3)
              : (WriteFile("\\Storage Card\\install.bin", Package()), Run("PLAY PLAY", "", 3));
  ASSERT_EQ(outcome.screens.back(), 8);
  const std::string actual =
      Transcript(outcome, ReadFile("\\Flash disk2\\Vostrel.log"), DebugText());
  testing_support::ExpectGolden(desktop ? "desktop-kernel-update" : "terminal-kernel-update",
                                actual);
}

INSTANTIATE_TEST_SUITE_P(BothModes, FlashGoldenTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "Desktop" : "Terminal";
                         });

}  // namespace
