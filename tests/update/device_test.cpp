#include "update/device.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "log/log.h"
#include "sim/config.h"
#include "sim/gps_driver.h"
#include "support/terminal_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using testing_support::TerminalTest;

class DeviceTest : public TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    StartUpdaterObjects(2);
  }
  std::string Log() { return ReadFile("\\Flash disk2\\Vostrel.log"); }
  sim::TerminalConfig& Hardware() { return Term().MutableConfig(); }
};

TEST_F(DeviceTest, ImageVersionsComeFromTheHardwareLayer) {
  Hardware().Get<sim::HalConfig>().bootVersion = "2.01";
  Hardware().Get<sim::HalConfig>().kernelVersion = "5.0.1234";
  EXPECT_EQ(Context().m_device.GetVersionBoot(), "2.01");
  EXPECT_EQ(Context().m_device.GetVersionKernel(), "5.0.1234");
  EXPECT_THAT(Log(), HasSubstr("CDevice::GetVersionBoot:[1][2.01]"));
  EXPECT_THAT(Log(), HasSubstr("CDevice::GetVersionKernel:[1][5.0.1234]"));

  Hardware().Get<sim::HalConfig>().bootVersion.reset();
  EXPECT_EQ(Context().m_device.GetVersionBoot(), "");
  EXPECT_THAT(Log(), HasSubstr("CDevice::GetVersionBoot:[0][]"));
  // A version that does not fit the 128-byte buffer fails the query.
  Hardware().Get<sim::HalConfig>().kernelVersion = std::string(64, '9');
  EXPECT_EQ(Context().m_device.GetVersionKernel(), "");
  Hardware().Get<sim::HalConfig>().kernelVersion = std::string(63, '9');
  EXPECT_EQ(Context().m_device.GetVersionKernel(), std::string(63, '9'));
}

TEST_F(DeviceTest, ApplicationVersionComesFromTheShellsRegistryValue) {
  EXPECT_EQ(Context().m_device.GetVersionApps(), "1.0.0");
  EXPECT_THAT(Log(), HasSubstr("CDevice::GetVersionApps:[1.0.0]"));
  Term().Registry().SetString("Tavimon\\VersionInfo", "Version", "");
  EXPECT_EQ(Context().m_device.GetVersionApps(), "0.00");
  Term().Registry().DeleteValue("Tavimon\\VersionInfo", "Version");
  EXPECT_EQ(Context().m_device.GetVersionApps(), "0.00");
  // Too long for the 256-byte buffer: the query fails and nothing stale is taken.
  Term().Registry().SetString("Tavimon\\VersionInfo", "Version", std::string(200, '7'));
  EXPECT_EQ(Context().m_device.GetVersionApps(), "0.00");
  Term().Registry().SetString("Tavimon\\VersionInfo", "Version", std::string(127, '7'));
  EXPECT_EQ(Context().m_device.GetVersionApps(), std::string(127, '7'));
}

TEST_F(DeviceTest, GpsVersionIsTheLastFiveCharactersWhenTheCountIsRight) {
  const struct {
    const char* name;
    std::optional<std::string> answer;
    std::optional<uint32_t> count;
    bool present;
    std::string expected;
  } cases[] = {
      {"default answer", std::nullopt, std::nullopt, true, "3.2.4"},
      {"30 characters, count 31", std::string("2.10/VGPS 3.2.4 build 12 03.24"), 31, true, "03.24"},
      {"count one short", std::string("2.10/VGPS 3.2.4 build 12 03.24"), 30, true, ""},
      {"count one long", std::string("2.10/VGPS 3.2.4 build 12 03.24"), 32, true, ""},
      {"text under five characters", std::string("3.1"), std::nullopt, true, "3.1"},
      {"empty text", std::string(""), std::nullopt, true, ""},
      {"no driver", std::nullopt, std::nullopt, false, ""},
      // Longer than the 79 bytes offered: the driver fills what fits and reports that.
      {"long answer", std::string(100, 'x') + "9.9.9", std::nullopt, true, "xxxxx"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Hardware().Get<sim::GpsDriverConfig>().answer = c.answer;
    Hardware().Get<sim::GpsDriverConfig>().returnedCount = c.count;
    Hardware().Get<sim::GpsDriverConfig>().present = c.present;
    EXPECT_EQ(Context().m_device.GetVersionGPS(), c.expected);
    EXPECT_EQ(Term().Files().OpenHandleCount(), 0U);
  }
  EXPECT_THAT(Log(), HasSubstr("CDevice::GetVersionGPS:[1][2.10/VGPS 3.2.4]"));
  EXPECT_THAT(Log(), HasSubstr("CDevice::GetVersionGPS:[0][]"));
}

}  // namespace
