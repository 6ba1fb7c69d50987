#include "update/version_dlg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "app/main_dialog.h"
#include "log/log.h"
#include "settings/settings.h"
#include "sim/gps_driver.h"
#include "sim/gui.h"
#include "support/terminal_fixture.h"
#include "ui/message_queue.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using testing_support::TerminalTest;

constexpr const char* kSettings =
    "[SoftwareToUpdate]\r\n"
    "Update1=OS\r\n"
    "Update2=Application\r\n"
    "[OS]\r\n"
    "OSSoftware1=OS|1.0.3|EBOOT2.NB0^0^BOOT\r\n"
    "OSSoftware2=OS|1.0.9|NK.BIN^1^KRNL\r\n"
    "[Application]\r\n"
    "AppSoftware1=Application|2.0.0|AppScript\r\n"
    "[GPS]\r\n"
    "GpsSoftware1=GPS|3.3.0|gps.bin^FIRMWARE\r\n"
    "[LanguageConfiguration]\r\n"
    "VerCol2=Installiert\r\n"
    "Yes=Ja\r\n";

class TestVersionDlg : public CVersionDlg {
 public:
  using CVersionDlg::CVersionDlg;
  using CVersionDlg::OnInitDialog;
  using CVersionDlg::PreTranslateMessage;
};

class VersionDlgTest : public TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    StartUpdaterObjects(2);
    g_pSettings->LoadFromBytes(kSettings);
  }

  // Presses keys now (as the terminal's keyboard would) and hands their messages to the
  // dialog's pre-translation; returns how many it swallowed.
  int Press(TestVersionDlg& dialog, const std::string& keys) {
    auto parsed = sim::ParseKeys(keys);
    EXPECT_TRUE(parsed.ok());
    for (auto& key : *parsed) key.at = 0;
    Term().Gui().SetKeys(*parsed);
    int swallowed = 0;
    ui::Message message;
    while (ui::PeekMessage(&message)) {
      if (dialog.HasEnded()) break;
      if (dialog.PreTranslateMessage(message)) ++swallowed;
    }
    return swallowed;
  }

  std::string Cell(TestVersionDlg& dialog, int row, int column) {
    return dialog.m_list.GetItemText(row, column);
  }
};

TEST_F(VersionDlgTest, ShowsInstalledAndOfferedVersionsPerPart) {
  Term().MutableConfig().Get<sim::GpsDriverConfig>().present = false;
  TestVersionDlg dialog(Context());
  ASSERT_TRUE(dialog.OnInitDialog());
  const platform::ControlState& list = dialog.m_list.State();
  EXPECT_EQ(list.columns, (std::vector<std::string>{"Software", "Installiert", "New", "Update"}));
  const std::vector<std::vector<std::string>> expected = {
      {"BOOT", "1.0.2", "1.0.3", "No"},
      {"KRNL", "1.0.5", "1.0.9", "No"},
      {"Application", "1.0.0", "2.0.0", "No"},
      // The GPS kind is not named by an Update key: nothing is offered.
      {"GPS", "", "N/A", "No"},
  };
  EXPECT_EQ(list.rows, expected);
  EXPECT_EQ(dialog.m_strVersion, "1.0.08");
  EXPECT_THAT(ReadFile("\\Flash disk2\\Vostrel.log"), HasSubstr("Displaying Versions"));
}

TEST_F(VersionDlgTest, TabWithFunctionKeysFlipsOfferedPartsOnly) {
  State().m_bOfferApp = 1;
  State().m_bOfferKernel = 1;
  State().m_bUpdateKernel = 1;
  TestVersionDlg dialog(Context());
  dialog.OnInitDialog();
  EXPECT_EQ(Cell(dialog, 1, 3), "Ja");

  // F3 flips the application: offered. The TAB release that follows is swallowed.
  EXPECT_EQ(Press(dialog, "TAB+F3"), 2);
  EXPECT_EQ(State().m_bUpdateApp, 1);
  EXPECT_EQ(Cell(dialog, 2, 3), "Ja");
  EXPECT_FALSE(dialog.HasEnded());

  // F4 with TAB: the GPS firmware is not offered, so nothing flips; the dialog stays.
  Press(dialog, "TAB+F4");
  EXPECT_EQ(State().m_bUpdateGPS, 0);
  EXPECT_FALSE(dialog.HasEnded());

  // F2 takes the kernel off; a second F2 puts it back.
  Press(dialog, "TAB+F2");
  EXPECT_EQ(State().m_bUpdateKernel, 0);
  EXPECT_EQ(Cell(dialog, 1, 3), "No");
  Press(dialog, "TAB+F2");
  EXPECT_EQ(State().m_bUpdateKernel, 1);

  // An ordinary key closes the dialog.
  Press(dialog, "F3");
  EXPECT_TRUE(dialog.HasEnded());
  EXPECT_EQ(State().m_bUpdateApp, 1);
}

TEST_F(VersionDlgTest, OtherKeysWithTabAreSwallowedAndTheTabReleaseThenCloses) {
  TestVersionDlg dialog(Context());
  dialog.OnInitDialog();
  // PLAY's release is swallowed while TAB counts as pressed; nothing was flipped, so the
  // release of TAB that follows closes the dialog.
  EXPECT_EQ(Press(dialog, "TAB+PLAY"), 2);
  EXPECT_TRUE(dialog.HasEnded());
  EXPECT_EQ(
      State().m_bUpdateBoot + State().m_bUpdateKernel + State().m_bUpdateApp + State().m_bUpdateGPS,
      0);
}

TEST_F(VersionDlgTest, TabAloneCountsAsPressedForItsOwnRelease) {
  TestVersionDlg dialog(Context());
  dialog.OnInitDialog();
  Press(dialog, "TAB");
  EXPECT_FALSE(dialog.HasEnded());
  Press(dialog, "BACK");
  EXPECT_TRUE(dialog.HasEnded());
}

TEST_F(VersionDlgTest, ApplicationRowIsNotApplicableWithoutItsUpdateKey) {
  CUpdateSettings* settings = g_pSettings;
  settings->m_bAppSelected = 0;
  TestVersionDlg dialog(Context());
  dialog.OnInitDialog();
  EXPECT_EQ(Cell(dialog, 2, 2), "N/A");
  EXPECT_EQ(Cell(dialog, 0, 2), "1.0.3");
}

}  // namespace
