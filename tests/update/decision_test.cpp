#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "app/main_dialog.h"
#include "log/log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "sim/gps_chip.h"
#include "sim/gps_driver.h"
#include "support/terminal_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using testing_support::TerminalTest;

class DecisionTest : public TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    StartUpdaterObjects(2);
    Context().m_hUserActivity = platform::Kern().CreateEvent(kUserActivityEvent, false, false);
  }
  void Decide(const std::string& settingsText) {
    g_pSettings->LoadFromBytes(settingsText);
    CVostrelHHTDlg dialog{Context()};
    dialog.DecideUpdates();
  }
  std::string Log() { return ReadFile("\\Flash disk2\\Vostrel.log"); }
};

TEST_F(DecisionTest, MarksOfferedPartsWhoseVersionIsNewer) {
  Term().MutableConfig().Get<sim::GpsConfig>().firmwareVersion = "3.3.0";
  Decide(
      "[SoftwareToUpdate]\nUpdate1=o\nUpdate2=a\nUpdate3=g\n"
      "[OS]\nOSSoftware1=O|1.0.3|eboot.nb0^0^BOOT\nOSSoftware2=O|1.0.5|nk.bin^1^KRNL\n"
      "[Application]\nAppSoftware1=A|1.0.0|Script\n"
      "[GPS]\nGpsSoftware1=G|3.3.1|gps.bin^FIRMWARE\n");
  EXPECT_EQ(State().m_bOfferBoot, 1);
  EXPECT_EQ(State().m_bUpdateBoot, 1);
  EXPECT_EQ(State().m_bOfferKernel, 1);
  EXPECT_EQ(State().m_bUpdateKernel, 0);  // equal
  EXPECT_EQ(State().m_bOfferApp, 1);
  EXPECT_EQ(State().m_bUpdateApp, 0);  // equal
  EXPECT_EQ(State().m_bOfferGPS, 1);
  EXPECT_EQ(State().m_bUpdateGPS, 1);
  const std::string log = Log();
  for (const char* line :
       {"CheckVersions: Boot Loader [Cur=1.0.2] [New=1.0.3] - update required\r\n",
        "CheckVersions: Kernel [Cur=1.0.5] [New=1.0.5] - no update required\r\n",
        "CheckVersions: Application [Cur=1.0.0] [New=1.0.0] - no update required\r\n",
        "CheckVersions: GPS [Cur=3.3.0] [New=3.3.1] - update required\r\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  // One user-activity signal after each part.
  EXPECT_EQ(Term().Seen().userActivitySignals, 4);
}

TEST_F(DecisionTest, OnlyTheKernelIsOfferedWhenTheBootLoaderHasNoDefinition) {
  Decide("[SoftwareToUpdate]\nUpdate1=OS\n[OS]\nOSSoftware1=OS|9.9|nk.bin^1^KRNL\n");
  EXPECT_EQ(State().m_bOfferKernel, 1);
  EXPECT_EQ(State().m_bUpdateKernel, 1);
  EXPECT_EQ(State().m_bOfferBoot, 0);
  EXPECT_EQ(State().m_bUpdateBoot, 0);
  EXPECT_THAT(Log(), Not(HasSubstr("Boot Loader")));
  EXPECT_NE(Log().find("CheckVersions: Kernel [Cur=1.0.5] [New=9.9] - update required"),
            std::string::npos);
}

TEST_F(DecisionTest, ADefinitionWhoseKindIsNotSelectedIsNotOffered) {
  Decide(
      "[SoftwareToUpdate]\nUpdate1=Application\n"
      "[Application]\nAppSoftware1=A|2.0|Script\n[GPS]\nGpsSoftware1=G|9.9.9|g.bin^FIRMWARE\n");
  EXPECT_EQ(State().m_bOfferApp, 1);
  EXPECT_EQ(State().m_bUpdateApp, 1);
  EXPECT_EQ(State().m_bOfferGPS, 0);
  EXPECT_EQ(State().m_bUpdateGPS, 0);
  EXPECT_THAT(Log(), Not(HasSubstr("CheckVersions: GPS")));
}

TEST_F(DecisionTest, AnUnreadableInstalledVersionIsOlderThanAnything) {
  Term().MutableConfig().Get<sim::HalConfig>().kernelVersion.reset();
  Term().MutableConfig().Get<sim::GpsDriverConfig>().present = false;
  Decide(
      "[SoftwareToUpdate]\nUpdate1=OS\nUpdate2=GPS\n"
      "[OS]\nOSSoftware1=OS|0.0.1|nk.bin^1^KRNL\n[GPS]\nGpsSoftware1=G|0.1|g.bin^FIRMWARE\n");
  EXPECT_EQ(State().m_bUpdateKernel, 1);
  EXPECT_EQ(State().m_bUpdateGPS, 1);
  EXPECT_NE(Log().find("CheckVersions: Kernel [Cur=] [New=0.0.1] - update required"),
            std::string::npos);
}

TEST_F(DecisionTest, MarksFromAnEarlierDecisionAreCleared) {
  State().m_bUpdateGPS = 1;
  State().m_bOfferGPS = 1;
  Decide("[SoftwareToUpdate]\nUpdate1=None\n");
  EXPECT_EQ(State().m_bUpdateGPS, 0);
  EXPECT_EQ(State().m_bOfferGPS, 0);
  CVostrelHHTDlg dialog{Context()};
  EXPECT_FALSE(dialog.CheckIfSomethingToDo());
}

}  // namespace
