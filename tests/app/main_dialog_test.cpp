#include "app/main_dialog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "sim/gui.h"
#include "support/terminal_fixture.h"
#include "ui/message_queue.h"
#include "utils/utils.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using testing_support::TerminalTest;

class TestDialog : public CVostrelHHTDlg {
 public:
  using CVostrelHHTDlg::CVostrelHHTDlg;
  using CVostrelHHTDlg::OnInitDialog;
  using CVostrelHHTDlg::PreTranslateMessage;
  bool Key(uint32_t key) { return PreTranslateMessage({nullptr, ui::kWmKeyUp, key, 0}); }
};

class MainDialogTest : public TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    StartUpdaterObjects(3);
  }
  std::string Log() { return ReadFile("\\Flash disk2\\Vostrel.log"); }
};

enum class Effect { kNothing, kPlainLeave, kNothingToUpdate, kRestartLeave, kEndRunRestart };

struct KeyCase {
  int screen;
  uint32_t key;
  Effect effect;
};

TEST_F(MainDialogTest, PlayAndStopFollowTheScreenTable) {
  constexpr uint32_t kPlay = ui::kVkReturn;
  constexpr uint32_t kStop = ui::kVkControl;
  const KeyCase cases[] = {
      {1, kPlay, Effect::kNothing},         {1, kStop, Effect::kNothing},
      {2, kPlay, Effect::kPlainLeave},      {2, kStop, Effect::kPlainLeave},
      {3, kPlay, Effect::kNothingToUpdate}, {3, kStop, Effect::kPlainLeave},
      {4, kPlay, Effect::kNothingToUpdate}, {4, kStop, Effect::kPlainLeave},
      {5, kPlay, Effect::kPlainLeave},      {5, kStop, Effect::kPlainLeave},
      {6, kPlay, Effect::kNothing},         {6, kStop, Effect::kNothing},
      {7, kPlay, Effect::kNothing},         {7, kStop, Effect::kNothing},
      {8, kPlay, Effect::kRestartLeave},    {8, kStop, Effect::kRestartLeave},
      {9, kPlay, Effect::kEndRunRestart},   {9, kStop, Effect::kNothingToUpdate},
      {10, kPlay, Effect::kNothing},        {10, kStop, Effect::kNothing},
      {11, kPlay, Effect::kRestartLeave},   {11, kStop, Effect::kRestartLeave},
  };
  WriteFile("\\Flash Disk2\\rerunner.exe", "");
  for (const KeyCase& c : cases) {
    SCOPED_TRACE("screen " + std::to_string(c.screen) + (c.key == kPlay ? " PLAY" : " STOP"));
    TestDialog dialog(Context());
    dialog.SetScreen(c.screen);
    WriteFile("\\abort.me", "");
    Context().m_bBusy = 1;
    const int rerunnersBefore = Term().Seen().rerunnerStarts;

    EXPECT_TRUE(dialog.Key(c.key));

    const bool leftPlainly = c.effect == Effect::kPlainLeave;
    const bool restarted = c.effect == Effect::kRestartLeave || c.effect == Effect::kEndRunRestart;
    const bool endOfRunSent = leftPlainly || c.effect == Effect::kEndRunRestart;
    EXPECT_EQ(dialog.HasEnded(), leftPlainly || restarted);
    EXPECT_EQ(Term().Seen().rerunnerStarts - rerunnersBefore, restarted ? 1 : 0);
    EXPECT_EQ(Exists("\\abort.me"), !endOfRunSent);
    EXPECT_EQ(Context().m_bBusy.load(), (leftPlainly || restarted) ? 0 : 1);
    const int expectedScreen = c.effect == Effect::kNothingToUpdate ? 5 : c.screen;
    EXPECT_EQ(Context().m_nScreen, expectedScreen);
    EXPECT_FALSE(Term().Seen().rebooted);
  }
}

TEST_F(MainDialogTest, PlayWithSomethingMarkedChecksTheCharger) {
  State().m_bUpdateApp = 1;
  Term().MutableConfig().Get<sim::PowerConfig>().acLine = sim::AcLine::kDisconnected;
  TestDialog dialog(Context());
  dialog.SetScreen(kScreenWelcome);
  dialog.Key(ui::kVkReturn);
  EXPECT_EQ(Context().m_nScreen, kScreenNoCharger);
  EXPECT_THAT(Log(), HasSubstr("CheckIfSomethingToDo: Application - update selected"));
  EXPECT_THAT(Log(), HasSubstr("CheckIfSomethingToDo: GPS - update not selected"));

  // PLAY on the no-charger screen checks again; an unknown line status counts as connected.
  Term().MutableConfig().Get<sim::PowerConfig>().acLine = sim::AcLine::kUnknown;
  dialog.Key(ui::kVkReturn);
  EXPECT_NE(Context().m_nScreen, kScreenNoCharger);

  Term().MutableConfig().Get<sim::PowerConfig>().acLine = sim::AcLine::kUnreadable;
  dialog.SetScreen(kScreenWelcome);
  dialog.Key(ui::kVkReturn);
  EXPECT_EQ(Context().m_nScreen, kScreenNoCharger);
  EXPECT_THAT(Log(), HasSubstr("Warning: Unable to get power state"));
}

TEST_F(MainDialogTest, KeysDuringAHandlerAreSwallowed) {
  TestDialog dialog(Context());
  dialog.SetScreen(kScreenInvalidPackage);
  Context().m_bInKeyHandler = 1;
  EXPECT_TRUE(dialog.Key(ui::kVkControl));
  EXPECT_TRUE(dialog.Key(ui::kVkReturn));
  EXPECT_TRUE(dialog.Key(ui::kVkF1));
  EXPECT_FALSE(dialog.HasEnded());
  EXPECT_EQ(Context().m_nScreen, kScreenInvalidPackage);
}

TEST_F(MainDialogTest, OtherKeysNeverCloseTheDialog) {
  for (int screen = 1; screen <= 11; ++screen) {
    TestDialog dialog(Context());
    dialog.SetScreen(screen);
    for (uint32_t key = 1; key <= 254; ++key) {
      if (key == ui::kVkReturn || key == ui::kVkShift || key == ui::kVkControl) continue;
      EXPECT_FALSE(dialog.Key(key));
      ui::DispatchMessage({nullptr, ui::kWmKeyUp, key, 0});
    }
    EXPECT_FALSE(dialog.HasEnded()) << "screen " << screen;
    EXPECT_EQ(Context().m_nScreen, screen);
  }
}

TEST_F(MainDialogTest, LeavingReboots) {
  const struct {
    const char* name;
    bool rerunnerPresent;
    int32_t rebootNeeded;
  } cases[] = {{"reboot needed", true, 1}, {"no rerunner to start", false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Term().Files().Delete("\\Flash Disk2\\rerunner.exe");
    if (c.rerunnerPresent) WriteFile("\\Flash Disk2\\rerunner.exe", "");
    Term().Seen() = {};
    TestDialog dialog(Context());
    dialog.m_bRebootNeeded = c.rebootNeeded;
    dialog.SetScreen(kScreenSuccess);
    EXPECT_THROW(dialog.Key(ui::kVkReturn), sim::ProcessEnded);
    EXPECT_TRUE(Term().Seen().rebooted);
    EXPECT_EQ(Term().Seen().rerunnerStarts, 0);
    Term().Clock().AttachMainThread(sim::kUpdaterProcess);
    Context().m_bInKeyHandler = 0;
  }
}

TEST_F(MainDialogTest, AFailedRebootIsLoggedAndTheProgramEnds) {
  Term().MutableConfig().Get<sim::HalConfig>().rebootFails = true;
  TestDialog dialog(Context());
  dialog.m_bRebootNeeded = 1;
  dialog.SetScreen(kScreenSuccess);
  dialog.Key(ui::kVkControl);
  EXPECT_TRUE(dialog.HasEnded());
  EXPECT_FALSE(Term().Seen().rebooted);
  // The reboot before the rerunner failed, the rerunner is missing, so a second reboot fails.
  const std::string log = Log();
  const std::size_t first = log.find("<KTest> IOCTL_HAL_REBOOT failed");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find("<KTest> IOCTL_HAL_REBOOT failed", first + 1), std::string::npos) << log;
}

TEST_F(MainDialogTest, TheTimerBodyRunsOnce) {
  TestDialog dialog(Context());
  dialog.OnInitDialog();
  EXPECT_EQ(Term().Seen().userActivitySignals, 1);
  dialog.CheckVersions(kCheckVersionsTimer);
  EXPECT_EQ(Context().m_nScreen, kScreenInvalidPackage);
  const int signals = Term().Seen().userActivitySignals;
  EXPECT_EQ(signals, 4);  // before validating, by the keep-alive thread, and with the screen
  dialog.SetScreen(kScreenLoading);
  dialog.CheckVersions(kCheckVersionsTimer);  // a second message that was already queued
  EXPECT_EQ(Term().Seen().userActivitySignals, signals);
  EXPECT_EQ(Context().m_nScreen, kScreenLoading);
  EXPECT_EQ(Term().Clock().ThreadCount(sim::kUpdaterProcess), 2U);
}

TEST_F(MainDialogTest, OnlyTimerOneIsHandled) {
  TestDialog dialog(Context());
  dialog.CheckVersions(7);
  EXPECT_EQ(Context().m_bBusy.load(), 0);
  EXPECT_EQ(Term().Seen().userActivitySignals, 0);
}

TEST_F(MainDialogTest, KeepAliveSignalsEveryTwoSecondsWhileBusy) {
  Context().m_bBusy = 1;
  auto& kernel = platform::Kern();
  const platform::Handle thread =
      kernel.CreateThread([this] { return KeepAliveThread(Context().m_bBusy); });
  kernel.Sleep(10000);
  EXPECT_EQ(Term().Seen().userActivityTimes, (std::vector<uint64_t>{0, 2000, 4000, 6000, 8000}));
  EXPECT_EQ(Term().Clock().ThreadCount(sim::kUpdaterProcess), 2U);
  Context().m_bBusy = 0;
  kernel.Sleep(150);
  EXPECT_EQ(Term().Clock().ThreadCount(sim::kUpdaterProcess), 1U);
  EXPECT_EQ(Term().Seen().userActivitySignals, 5);
  kernel.CloseHandle(thread);
}

TEST_F(MainDialogTest, InitialisationShowsLoadingAndClearsTheSelection) {
  State().m_bUpdateGPS = 1;
  State().m_bOfferKernel = 1;
  WriteFile("\\looking.no", "");
  TestDialog dialog(Context());
  EXPECT_TRUE(dialog.OnInitDialog());
  EXPECT_EQ(Context().m_nScreen, kScreenLoading);
  EXPECT_EQ(State().m_bUpdateGPS, 0);
  EXPECT_EQ(State().m_bOfferKernel, 0);
  EXPECT_FALSE(Exists("\\looking.no"));
  EXPECT_EQ(Term().Seen().userActivitySignals, 1);
  EXPECT_FALSE(dialog.m_errorLine.IsVisible());
}

TEST_F(MainDialogTest, TheFailedScreenShowsTheLastError) {
  TestDialog dialog(Context());
  dialog.SetScreen(kScreenFailed);
  EXPECT_EQ(dialog.m_errorLine.GetWindowText(), "(0) ()");
  EXPECT_TRUE(dialog.m_errorLine.IsVisible());
  LogAppError(1019, "CHECKSUM FAILED", "CFileAccess::IsCheckSumValid:");
  dialog.SetScreen(kScreenFailed);
  EXPECT_EQ(dialog.m_errorLine.GetWindowText(),
            "(1019)CHECKSUM FAILED (CFileAccess::IsCheckSumValid:)");
  dialog.SetScreen(kScreenWelcome);
  EXPECT_FALSE(dialog.m_errorLine.IsVisible());
  EXPECT_FALSE(dialog.m_progress.IsVisible());
}

TEST_F(MainDialogTest, ShowingAScreenReleasesThePictureBefore) {
  const int before = ui::Bitmap::LiveCount();
  {
    TestDialog dialog(Context());
    for (int i = 0; i < 5; ++i) dialog.SetScreen(kScreenWelcome);
    dialog.SetScreen(kScreenFailed);
    EXPECT_EQ(ui::Bitmap::LiveCount(), before + 1);
    dialog.SetScreen(42);  // no picture: the one shown stays
    EXPECT_EQ(dialog.m_picture.BitmapId(), 133);
  }
}

}  // namespace
