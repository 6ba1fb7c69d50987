// The terminal's GPS receiver chip behind "COM6:", with its NOR flash kept in DIR/gps/.
//
// Normally the chip runs the firmware in its flash and the GPS driver holds the port. Handed
// over for programming (the driver's mode 2), it sits in its boot ROM at 38400 baud, where it
// takes either
//   - an uploaded boot loader ("S", 0, length, body, four zero bytes), which it runs only when
//     it is this project's stand-in; the boot loader erases the flash on the header record,
//     answers "SA\r\n" and programs the S-record lines that follow; or
//   - the framed first-stage loader, whose checksum it echoes; the first stage (only the
//     stand-in runs) answers identification, takes the clock configuration, switches the baud
//     rate on command 0x00 and takes the flash engine in blocks; the engine (only the stand-in
//     runs) finds its flash part in its own parts table and executes the flash commands.
// Taken back (mode 1), the chip runs whatever firmware its flash holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "sim/gps_config.h"
#include "sim/nor_flash.h"
#include "sim/part.h"
#include "sim/result.h"
#include "sim/scheduler.h"
#include "sim/serial_line.h"
#include "sim/write_steps.h"

namespace sim {

struct GpsChipServices {
  const GpsConfig& config;
  Scheduler& clock;
  SimSerialPorts& ports;
  // DIR/gps: where the flash is kept.
  std::filesystem::path dir;
  // The terminal's power goes.
  std::function<void()> cutPower;
  // Where each write and erase of the flash is counted as a write step; none: not counted.
  WriteSteps* steps = nullptr;
};

class GpsChip final : public TerminalPart, public SerialDevice {
 public:
  enum class Stage { kFirmware, kRom, kUpload, kBootLoader, kFirstStage, kEngine, kHalted };

  // Registers its line as "COM6:".
  explicit GpsChip(GpsChipServices services);
  ~GpsChip() override;
  GpsChip(const GpsChip&) = delete;
  GpsChip& operator=(const GpsChip&) = delete;

  void PowerOn() override;
  void PowerOff() override;
  Status CheckFiles() const override;
  // Why the flash could not be kept in DIR/gps/flash.bin the last time; empty when it was.
  const std::string& SaveError() const { return m_saveError; }
  void Describe(std::ostream& out) override;

  // The port can be opened only while the driver has handed the chip over (5 otherwise).
  bool PortOpening() override;
  void Receive(std::span<const uint8_t> bytes, Nanos start, uint32_t baud) override;

  // The driver lets go of the port and resets the chip into its boot ROM.
  void HandOver();
  // The driver takes the chip back: it runs the firmware its flash holds.
  void TakeBack();

  // The firmware version in the flash by the simulator's convention (see
  // tools/gps_images/gps_images.h); the configured factory version while the flash was never
  // programmed; empty when the flash holds no version record.
  std::string FirmwareVersion();
  // The flash's bytes (a flash never programmed holds the factory firmware).
  std::vector<uint8_t> FlashContents();
  gps_images::NorPart FlashPart() const;
  Stage CurrentStage() const { return m_stage; }
  // The rate the chip sends and receives at now.
  uint32_t LineRate() const { return m_rate; }
  SerialLine& Line() { return m_line; }
  // Bytes programmed since the chip was last powered on.
  uint64_t ProgrammedBytes() const { return m_programmed; }
  // Lines the boot loader could not read as S-records.
  uint32_t BadLines() const { return m_badLines; }

  // What one programming put on the line and asked of the flash, from the hand-over to the
  // taking back: bytes by baud rate each way, and the time the chip spent erasing and
  // programming.
  struct Session {
    uint64_t handedOverMs = 0;
    std::optional<uint64_t> takenBackMs;
    std::map<uint32_t, uint64_t> terminalBytes;
    std::map<uint32_t, uint64_t> chipBytes;
    Nanos erasing = 0;
    Nanos programming = 0;
  };
  const std::optional<Session>& LastSession() const { return m_session; }

 private:
  // What the chip does once the terminal acknowledges a reply.
  enum class Then { kNothing, kSwitchRate, kRunFirstStage, kRunEngine, kRestart, kHalt };
  struct Reply {
    std::vector<uint8_t> payload;
    Nanos busy = 0;  // how long the command takes before the reply goes
    Then then = Then::kNothing;
  };
  using Handler = std::optional<Reply> (GpsChip::*)(std::span<const uint8_t> request);
  struct Command {
    uint8_t code;
    Handler handler;
  };

  void Feed(uint8_t value, Nanos at);
  void FeedFrame(uint8_t value, Nanos at);
  void FeedUpload(uint8_t value, Nanos at);
  void FeedBootLoader(uint8_t value, Nanos at);
  void OnFrame(std::span<const uint8_t> payload, Nanos at);
  void OnBootLoaderLine(const std::string& line, Nanos at);
  void AfterAck(Nanos at);
  void ResetLink();
  Nanos Send(std::span<const uint8_t> bytes, Nanos at);
  bool FaultHits(uint8_t code) const;

  // Boot ROM, first stage and engine commands.
  std::optional<Reply> LoadFirstStage(std::span<const uint8_t> request);
  std::optional<Reply> ChipClass(std::span<const uint8_t> request);
  std::optional<Reply> RfType(std::span<const uint8_t> request);
  std::optional<Reply> ClockWord1(std::span<const uint8_t> request);
  std::optional<Reply> ClockWord2(std::span<const uint8_t> request);
  std::optional<Reply> ClassOption(std::span<const uint8_t> request);
  std::optional<Reply> SetClock(std::span<const uint8_t> request);
  std::optional<Reply> SetBaud(std::span<const uint8_t> request);
  std::optional<Reply> LoadBlock(std::span<const uint8_t> request);
  std::optional<Reply> LoadDone(std::span<const uint8_t> request);
  std::optional<Reply> EndSession(std::span<const uint8_t> request);
  std::optional<Reply> OpenFlash(std::span<const uint8_t> request);
  std::optional<Reply> SetValueA(std::span<const uint8_t> request);
  std::optional<Reply> Write(std::span<const uint8_t> request);
  std::optional<Reply> EraseSector(std::span<const uint8_t> request);
  std::optional<Reply> CloseFlash(std::span<const uint8_t> request);
  std::optional<Reply> SectorInfo(std::span<const uint8_t> request);
  std::optional<Reply> BlankCheck(std::span<const uint8_t> request);
  std::optional<Reply> Crc(std::span<const uint8_t> request);
  // A reply of the code, a status (or the fault's) and the given fields.
  Reply StatusReply(uint8_t code, uint32_t status, std::span<const uint8_t> fields = {});

  NorFlash& Flash();
  // The flash is about to change: a never-programmed flash takes its factory firmware first.
  void Touch();
  // Programs bytes at `start`, counting them toward the configured power cut. False when the
  // power went before all were programmed: the chip has stopped.
  bool ProgramCounted(uint32_t address, std::span<const uint8_t> data, Nanos start, bool* held);
  Nanos ProgramTime(std::size_t bytes) const;
  // Counts a write or erase of the flash, complete at `done`, as a write step. When the power is
  // to go after it, the chip stops at once and the power goes at `done`; true then.
  bool StepDone(std::string what, Nanos done);
  void SaveFlash();

  GpsChipServices m_services;
  std::string m_saveError;
  const GpsConfig& m_config;
  SerialLine m_line;
  Stage m_stage = Stage::kFirmware;
  bool m_handedOver = false;
  uint32_t m_rate = 38400;
  uint32_t m_pendingRate = 0;
  Nanos m_busyUntil = 0;
  Nanos m_commandStart = 0;  // when the command being answered began to run
  bool m_awaitingAck = false;
  Then m_afterAck = Then::kNothing;
  std::vector<uint8_t> m_rx;  // the frame being received, length bytes first
  std::vector<uint8_t> m_upload;
  std::vector<uint8_t> m_firstStage;
  std::vector<uint8_t> m_engine;
  std::string m_lineText;
  bool m_headerSeen = false;
  bool m_clockWrong = false;
  // The engine's view of the flash.
  std::optional<gps_images::NorPart> m_enginePart;
  bool m_flashOpen = false;
  bool m_timingSet = false;
  std::optional<NorFlash> m_flash;
  bool m_factory = false;
  bool m_dirty = false;
  uint64_t m_programmed = 0;
  uint32_t m_badLines = 0;
  uint64_t m_powerCycle = 0;
  std::optional<Session> m_session;
};

}  // namespace sim
