// Serial lines of the simulated terminal: the terminal's port on one end, a device (the GPS
// chip) on the other. A byte takes 10 bit times at the sender's rate, both directions carry
// bytes independently, and a byte read at a rate other than the one it was sent at arrives
// garbled. Time on the line is kept in nanoseconds; the terminal's clock (whole milliseconds)
// follows it and is never ahead, so that thousands of short exchanges add up to their true
// length.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial.h"
#include "sim/scheduler.h"

namespace sim {

using Nanos = uint64_t;
inline constexpr Nanos kNanosPerMs = 1'000'000;

// When byte `index` (from 0) of a stretch whose first bit left at `start` has fully arrived.
Nanos ByteArrival(Nanos start, uint32_t baud, uint64_t index);
// A UART reads a byte intact when the two rates differ by at most 2%.
bool RatesMatch(uint32_t senderBaud, uint32_t receiverBaud);
// What a receiver makes of a byte sent at another rate.
uint8_t Garble(uint8_t value);

// Bytes sent in one go at one rate, as the line's tap records them.
struct WireChunk {
  enum class From { kTerminal, kDevice };
  From from = From::kTerminal;
  Nanos start = 0;  // when the first bit left
  uint32_t baud = 0;
  std::vector<uint8_t> bytes;
};

// The device at the far end of a line.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;
  // The terminal opens the port; false (with the last error set) refuses it.
  virtual bool PortOpening() = 0;
  virtual void PortClosed() {}
  // Bytes the terminal sent at `baud`, the first bit leaving at `start`; byte k arrives at
  // ByteArrival(start, baud, k).
  virtual void Receive(std::span<const uint8_t> bytes, Nanos start, uint32_t baud) = 0;
};

class SerialLine {
 public:
  SerialLine(Scheduler& clock, SerialDevice& device);
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  // Device side: sends bytes at `baud`, the first bit leaving at `at` or once the device's
  // earlier bytes have gone. Returns when the last byte has arrived at the terminal's end.
  Nanos SendToTerminal(std::span<const uint8_t> bytes, Nanos at, uint32_t baud);
  // The line's own clock: the terminal's, or later while the terminal's port is ahead of it.
  Nanos Now() const;

  // Records every byte on the line from now on.
  void StartTap();
  const std::vector<WireChunk>& Tap() const { return m_tap; }

  // The terminal's port, for SimSerialPorts.
  bool IsOpen() const { return m_open; }
  bool Open(const platform::SerialOpenRequest& request, platform::SerialConfig* inForce);
  bool Apply(const platform::SerialSettings& settings);
  bool Read(uint8_t* buffer, uint32_t count, uint32_t* read);
  bool Write(const uint8_t* bytes, uint32_t count, uint32_t* written);
  void Purge();
  void Close(const platform::SerialConfig* restore);
  const platform::SerialConfig& Config() const { return m_config; }

 private:
  struct Incoming {
    Nanos start = 0;
    uint32_t baud = 0;
    std::vector<uint8_t> bytes;
    std::size_t taken = 0;
  };
  // An operation of the port starts now, or when its previous one ended if that is later.
  Nanos PortStart() const;
  // The terminal's clock moves on to `end`; the port remembers the exact instant.
  void FinishAt(Nanos end);
  uint32_t TerminalRateAt(Nanos when) const;

  Scheduler& m_clock;
  SerialDevice& m_device;
  bool m_open = false;
  platform::SerialConfig m_config;
  // The port's rate since each instant, for bytes that arrive while it changes.
  std::vector<std::pair<Nanos, uint32_t>> m_rates;
  Nanos m_portTime = 0;
  Nanos m_toDeviceFree = 0;
  Nanos m_toTerminalFree = 0;
  std::deque<Incoming> m_incoming;
  uint64_t m_sends = 0;
  bool m_tapping = false;
  std::vector<WireChunk> m_tap;
};

// The terminal's serial ports: the lines that parts attach under port names.
class SimSerialPorts final : public platform::SerialPorts {
 public:
  SimSerialPorts() = default;
  // Makes a port name ("COM6:") reach the line; the ports do not own it. Null removes it.
  void RegisterPort(std::string_view name, SerialLine* line);

  platform::Handle OpenSerial(std::string_view port, const platform::SerialOpenRequest& request,
                              platform::SerialConfig* inForce) override;
  bool ApplySerialSettings(platform::Handle port,
                           const platform::SerialSettings& settings) override;
  bool ReadSerial(platform::Handle port, void* buffer, uint32_t count, uint32_t* read) override;
  bool WriteSerial(platform::Handle port, const void* bytes, uint32_t count,
                   uint32_t* written) override;
  bool PurgeSerial(platform::Handle port) override;
  bool CloseSerial(platform::Handle port, const platform::SerialConfig* restore) override;

  std::size_t OpenCount() const { return m_handles.size(); }
  // The terminal goes down: every port closes.
  void CloseAll();

 private:
  SerialLine* LineOf(platform::Handle port);

  std::map<std::string, SerialLine*> m_lines;  // upper-case name with its colon
  std::map<platform::Handle, SerialLine*> m_handles;
  platform::Handle m_nextHandle = 0x6000;
};

}  // namespace sim
