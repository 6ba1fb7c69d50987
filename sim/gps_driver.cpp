#include "sim/gps_driver.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <system_error>

#include "sim/config_section.h"

namespace sim {

namespace {
constexpr uint8_t kModeProgramming = 2;
constexpr uint8_t kModeNormal = 1;
}  // namespace

void ReadSection(ConfigReader& reader, GpsDriverConfig& config) {
  reader.Read("present", config.present, "true or false");
  reader.Read("version", config.version, "a version text");
  reader.ReadOptional("answer", config.answer, "the driver's whole version answer, or null");
  reader.ReadOptional("returned_count", config.returnedCount,
                      "a byte count, or null for the answer's length plus one");
  reader.Read("refuses_mode_2", config.refusesMode2, "true or false");
}

nlohmann::json SectionJson(const GpsDriverConfig& config) {
  return {{"present", config.present},
          {"version", config.version},
          {"answer", OptionalJson(config.answer)},
          {"returned_count", OptionalJson(config.returnedCount)},
          {"refuses_mode_2", config.refusesMode2}};
}

std::string GpsVersionAnswer(const GpsDriverConfig& driver, const std::string& firmwareVersion) {
  if (driver.answer) return *driver.answer;
  return driver.version + "/VGPS " + firmwareVersion;
}

void WriteChipMode(const std::filesystem::path& dir, const char* file, const std::string& mode) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  // One short line, written whole: the other side reads it whole or finds it empty.
  std::ofstream(dir / file, std::ios::binary | std::ios::trunc) << mode << "\n" << std::flush;
}

std::string ReadChipMode(const std::filesystem::path& dir, const char* file) {
  std::ifstream in(dir / file, std::ios::binary);
  std::string mode;
  std::getline(in, mode);
  return mode;
}

GpsDriver::GpsDriver(const GpsDriverConfig& config, DeviceRegistration registration,
                     GpsReceiverLink receiver)
    : m_config(config), m_registration(std::move(registration)), m_receiver(std::move(receiver)) {
  m_registration("GPS1:", this);
}

GpsDriver::~GpsDriver() { m_registration("GPS1:", nullptr); }

void GpsDriver::PowerOn() {
  m_mode = kModeNormal;
  m_versionHandedOver.clear();
}

bool GpsDriver::Open(uint32_t /*access*/, uint32_t /*share*/) {
  if (m_config.present) return true;
  platform::SetLastError(platform::kErrorFileNotFound);
  return false;
}

bool GpsDriver::IoControl(uint32_t code, const void* in, uint32_t inSize, void* out,
                          uint32_t outSize, uint32_t* returned) {
  using Control = bool (GpsDriver::*)(const void*, uint32_t, void*, uint32_t, uint32_t*);
  static constexpr struct {
    uint32_t code;
    Control control;
  } kControls[] = {{kIoctlGetVersion, &GpsDriver::AnswerVersion},
                   {kIoctlSetMode, &GpsDriver::SetMode},
                   {kIoctlComplete, &GpsDriver::Complete}};
  for (const auto& entry : kControls) {
    if (entry.code == code) return (this->*entry.control)(in, inSize, out, outSize, returned);
  }
  platform::SetLastError(platform::kErrorNotSupported);
  return false;
}

bool GpsDriver::AnswerVersion(const void* /*in*/, uint32_t /*inSize*/, void* out, uint32_t outSize,
                              uint32_t* returned) {
  std::string firmware =
      m_mode == kModeProgramming ? m_versionHandedOver : m_receiver.firmwareVersion();
  if (firmware.empty()) firmware = "none";
  const std::string answer = GpsVersionAnswer(m_config, firmware);
  if (out == nullptr || outSize == 0) {
    platform::SetLastError(platform::kErrorInsufficientBuffer);
    return false;
  }
  // The driver copies what fits and always terminates the text.
  const std::size_t copied = std::min<std::size_t>(answer.size(), outSize - 1);
  auto* bytes = static_cast<char*>(out);
  std::memcpy(bytes, answer.data(), copied);
  bytes[copied] = '\0';
  const uint32_t count = static_cast<uint32_t>(copied + 1);
  if (returned != nullptr) *returned = m_config.returnedCount.value_or(count);
  return true;
}

bool GpsDriver::SetMode(const void* in, uint32_t inSize, void* /*out*/, uint32_t /*outSize*/,
                        uint32_t* /*returned*/) {
  const uint8_t mode = in != nullptr && inSize == 1 ? *static_cast<const uint8_t*>(in) : 0;
  if (mode != kModeProgramming && mode != kModeNormal) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  if (mode == kModeProgramming && m_config.refusesMode2) {
    platform::SetLastError(platform::kErrorGenFailure);
    return false;
  }
  ++m_modeChanges;
  if (mode == kModeProgramming) {
    if (m_mode != kModeProgramming) m_versionHandedOver = m_receiver.firmwareVersion();
    m_receiver.handOver();
  } else {
    m_receiver.takeBack();
  }
  m_mode = mode;
  return true;
}

bool GpsDriver::Complete(const void* in, uint32_t inSize, void* /*out*/, uint32_t /*outSize*/,
                         uint32_t* /*returned*/) {
  if (in == nullptr || inSize != 1 || *static_cast<const uint8_t*>(in) != 0) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  ++m_completions;
  return true;
}

}  // namespace sim
