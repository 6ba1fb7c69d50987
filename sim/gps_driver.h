// The terminal's GPS driver, the stream device "GPS1:". It runs the receiver and holds its port;
// for programming it hands the receiver over (mode 2) and takes it back afterwards (mode 1).
// It reports its own version and the receiver's firmware version, as it last read it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "sim/part.h"
#include "sim/stream_device.h"

namespace sim {

class ConfigReader;

// The GPS driver "GPS1:" (terminal.json "gps_driver").
struct GpsDriverConfig {
  bool present = true;
  std::string version = "2.10";
  // The driver's whole version answer instead of "<driver>/VGPS <firmware>".
  std::optional<std::string> answer;
  // The byte count the driver returns instead of the answer's length plus its terminator.
  std::optional<uint32_t> returnedCount;
  // A fault: the driver refuses to hand the receiver over for programming (mode 2).
  bool refusesMode2 = false;

  bool operator==(const GpsDriverConfig&) const = default;
};

void ReadSection(ConfigReader& reader, GpsDriverConfig& config);
nlohmann::json SectionJson(const GpsDriverConfig& config);

// The text the driver answers to the version query, with the receiver's firmware version.
std::string GpsVersionAnswer(const GpsDriverConfig& driver, const std::string& firmwareVersion);

// The driver's line to a chip that runs in another process ("vostrel sim gps serve" for a program
// outside the simulator): in DIR/gps, the driver writes the mode it sets into kDriverModeFile,
// and the chip, once it followed (handed over: in its boot ROM; running: its firmware, with what
// it programmed kept in flash.bin), writes the same into kChipModeFile.
inline constexpr const char* kDriverModeFile = "driver-mode";
inline constexpr const char* kChipModeFile = "chip-mode";
inline constexpr const char* kChipModeHandedOver = "handed over";
inline constexpr const char* kChipModeRunning = "running";
void WriteChipMode(const std::filesystem::path& dir, const char* file, const std::string& mode);
// The mode in the file, or empty.
std::string ReadChipMode(const std::filesystem::path& dir, const char* file);

// The receiver behind the driver.
struct GpsReceiverLink {
  // The firmware version the receiver's flash holds (empty: none).
  std::function<std::string()> firmwareVersion;
  // The receiver is handed over for programming, or taken back.
  std::function<void()> handOver;
  std::function<void()> takeBack;
};

class GpsDriver final : public Device, public TerminalPart {
 public:
  static constexpr uint32_t kIoctlGetVersion = 0x8000200C;
  static constexpr uint32_t kIoctlSetMode = 0x80002020;
  static constexpr uint32_t kIoctlComplete = 0x80002008;

  // Registers itself as "GPS1:" with the file system.
  GpsDriver(const GpsDriverConfig& config, DeviceRegistration registration,
            GpsReceiverLink receiver);
  ~GpsDriver() override;

  void PowerOn() override;

  // Fails with 2 while the terminal has no GPS driver loaded.
  bool Open(uint32_t access, uint32_t share) override;

  // The version query answers "<driver version>/VGPS <firmware version>" ("none" for a flash
  // without a version) as 8-bit text with its terminator, and its byte count (both configurable);
  // while the receiver is handed over, the firmware version is the one it had then. Mode takes
  // one byte, 2 or 1; completion one byte, 0.
  bool IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* returned) override;

  // What the updater did with the driver.
  int Mode() const { return m_mode; }
  int Completions() const { return m_completions; }
  int ModeChanges() const { return m_modeChanges; }

 private:
  bool AnswerVersion(const void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* returned);
  bool SetMode(const void* in, uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned);
  bool Complete(const void* in, uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned);

  const GpsDriverConfig& m_config;
  DeviceRegistration m_registration;
  GpsReceiverLink m_receiver;
  int m_mode = 1;
  std::string m_versionHandedOver;
  int m_completions = 0;
  int m_modeChanges = 0;
};

}  // namespace sim
