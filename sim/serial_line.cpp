#include "sim/serial_line.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "text/text.h"

namespace sim {

namespace {

constexpr Nanos kNever = std::numeric_limits<Nanos>::max();
constexpr uint64_t kBitsPerByte = 10;
constexpr uint64_t kNanosPerSecond = 1'000'000'000;
// A read that no time-out bounds waits at most this long for a device that never sends, so that
// a run cannot hang for ever.
constexpr Nanos kLongestUnboundedRead = 3600 * 1000 * kNanosPerMs;

bool ValidSettings(const platform::SerialSettings& settings) {
  return settings.baudRate != 0 && settings.byteSize >= 5 && settings.byteSize <= 8 &&
         settings.parity <= 4 && settings.stopBits <= 2;
}

}  // namespace

Nanos ByteArrival(Nanos start, uint32_t baud, uint64_t index) {
  return start + (index + 1) * kBitsPerByte * kNanosPerSecond / baud;
}

bool RatesMatch(uint32_t senderBaud, uint32_t receiverBaud) {
  const uint64_t larger = std::max(senderBaud, receiverBaud);
  const uint64_t smaller = std::min(senderBaud, receiverBaud);
  return (larger - smaller) * 50 <= smaller;
}

uint8_t Garble(uint8_t value) {
  // The receiver samples the wrong bits: a fixed scramble, so that runs stay reproducible.
  return static_cast<uint8_t>(((value << 3) | (value >> 5)) ^ 0xA5);
}

SerialLine::SerialLine(Scheduler& clock, SerialDevice& device) : m_clock(clock), m_device(device) {}

Nanos SerialLine::Now() const { return std::max(m_portTime, m_clock.Now() * kNanosPerMs); }

Nanos SerialLine::PortStart() const { return Now(); }

void SerialLine::FinishAt(Nanos end) {
  m_portTime = std::max(m_portTime, end);
  m_clock.SleepUntil(end / kNanosPerMs);
}

uint32_t SerialLine::TerminalRateAt(Nanos when) const {
  uint32_t rate = m_rates.empty() ? m_config.settings.baudRate : m_rates.front().second;
  for (const auto& [since, baud] : m_rates) {
    if (since > when) break;
    rate = baud;
  }
  return rate;
}

void SerialLine::StartTap() {
  m_tapping = true;
  m_tap.clear();
}

Nanos SerialLine::SendToTerminal(std::span<const uint8_t> bytes, Nanos at, uint32_t baud) {
  if (bytes.empty()) return std::max(at, m_toTerminalFree);
  const Nanos start = std::max(at, m_toTerminalFree);
  m_toTerminalFree = ByteArrival(start, baud, bytes.size() - 1);
  if (m_tapping) {
    m_tap.push_back({WireChunk::From::kDevice, start, baud, {bytes.begin(), bytes.end()}});
  }
  // Nobody listens while the port is closed: the bytes are lost.
  if (m_open) {
    m_incoming.push_back({start, baud, {bytes.begin(), bytes.end()}, 0});
    ++m_sends;
    m_clock.Notify(this);
  }
  return m_toTerminalFree;
}

bool SerialLine::Open(const platform::SerialOpenRequest& request, platform::SerialConfig* inForce) {
  if (m_open) {
    platform::SetLastError(platform::kErrorAccessDenied);
    return false;
  }
  if (!m_device.PortOpening()) return false;
  const platform::SerialConfig derived = request.derive ? request.derive(m_config) : m_config;
  if (!ValidSettings(derived.settings)) {
    m_device.PortClosed();
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  if (inForce != nullptr) *inForce = m_config;
  m_config = derived;
  m_open = true;
  m_incoming.clear();
  m_portTime = PortStart();
  m_rates.assign(1, {m_portTime, m_config.settings.baudRate});
  return true;
}

bool SerialLine::Apply(const platform::SerialSettings& settings) {
  if (!ValidSettings(settings)) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  m_config.settings = settings;
  m_rates.push_back({PortStart(), settings.baudRate});
  return true;
}

bool SerialLine::Read(uint8_t* buffer, uint32_t count, uint32_t* read) {
  *read = 0;
  if (count == 0) return true;
  const platform::SerialTimeouts& t = m_config.timeouts;
  const Nanos t0 = PortStart();
  const bool immediate = t.readInterval == platform::kMaxTimeout && t.readTotalMultiplier == 0 &&
                         t.readTotalConstant == 0;
  const bool hasTotal = t.readTotalMultiplier != 0 || t.readTotalConstant != 0;
  const Nanos totalEnd =
      hasTotal ? t0 + (static_cast<uint64_t>(t.readTotalMultiplier) * count + t.readTotalConstant) *
                          kNanosPerMs
               : kNever;
  const Nanos interval = t.readInterval == 0 || t.readInterval == platform::kMaxTimeout
                             ? kNever
                             : static_cast<Nanos>(t.readInterval) * kNanosPerMs;
  for (;;) {
    // Everything the device will send before the terminal writes again is on the line already,
    // so the read's outcome is known now: walk the arrivals under the time-outs.
    const uint64_t sends = m_sends;
    uint32_t taken = 0;
    Nanos last = t0;
    Nanos end = kNever;
    bool settled = false;
    for (const Incoming& chunk : m_incoming) {
      for (std::size_t j = chunk.taken; j < chunk.bytes.size() && !settled; ++j) {
        const Nanos arrival = std::max(ByteArrival(chunk.start, chunk.baud, j), t0);
        if (immediate && arrival > t0) {
          end = t0;
          settled = true;
        } else if (taken > 0 && interval != kNever && arrival > last + interval) {
          end = std::min(last + interval, totalEnd);
          settled = true;
        } else if (arrival > totalEnd) {
          end = totalEnd;
          settled = true;
        } else {
          ++taken;
          last = arrival;
          if (taken == count) {
            end = arrival;
            settled = true;
          }
        }
      }
      if (settled) break;
    }
    if (!settled) {
      if (immediate) {
        end = t0;
      } else {
        end = std::min(totalEnd, taken > 0 && interval != kNever ? last + interval : kNever);
      }
    }
    const bool unbounded = end == kNever;
    if (unbounded) end = t0 + kLongestUnboundedRead;
    // A device that sends meanwhile (a timed peer) changes the outcome: walk again.
    if (m_clock.WaitUntil(this, end / kNanosPerMs, [&] { return m_sends != sends; }) &&
        m_sends != sends) {
      continue;
    }
    if (unbounded && taken == 0) {
      m_portTime = std::max(m_portTime, end);
      return true;
    }
    uint32_t copied = 0;
    while (copied < taken && !m_incoming.empty()) {
      Incoming& chunk = m_incoming.front();
      while (copied < taken && chunk.taken < chunk.bytes.size()) {
        const Nanos arrival = ByteArrival(chunk.start, chunk.baud, chunk.taken);
        const uint8_t value = chunk.bytes[chunk.taken++];
        buffer[copied++] = RatesMatch(chunk.baud, TerminalRateAt(arrival)) ? value : Garble(value);
      }
      if (chunk.taken == chunk.bytes.size()) m_incoming.pop_front();
    }
    *read = copied;
    m_portTime = std::max(m_portTime, end);
    return true;
  }
}

bool SerialLine::Write(const uint8_t* bytes, uint32_t count, uint32_t* written) {
  *written = 0;
  if (count == 0) return true;
  const uint32_t baud = m_config.settings.baudRate;
  const Nanos start = std::max(PortStart(), m_toDeviceFree);
  const Nanos end = ByteArrival(start, baud, count - 1);
  m_toDeviceFree = end;
  const std::span<const uint8_t> sent(bytes, count);
  if (m_tapping)
    m_tap.push_back({WireChunk::From::kTerminal, start, baud, {sent.begin(), sent.end()}});
  m_device.Receive(sent, start, baud);
  *written = count;
  FinishAt(end);
  return true;
}

void SerialLine::Purge() {
  const Nanos now = PortStart();
  while (!m_incoming.empty()) {
    Incoming& chunk = m_incoming.front();
    while (chunk.taken < chunk.bytes.size() &&
           ByteArrival(chunk.start, chunk.baud, chunk.taken) <= now) {
      ++chunk.taken;
    }
    if (chunk.taken < chunk.bytes.size()) break;
    m_incoming.pop_front();
  }
}

void SerialLine::Close(const platform::SerialConfig* restore) {
  if (restore != nullptr) m_config = *restore;
  m_open = false;
  m_incoming.clear();
  m_device.PortClosed();
}

void SimSerialPorts::RegisterPort(std::string_view name, SerialLine* line) {
  const std::string key = text::ToUpper(name);
  if (line == nullptr) {
    m_lines.erase(key);
  } else {
    m_lines[key] = line;
  }
}

SerialLine* SimSerialPorts::LineOf(platform::Handle port) {
  const auto it = m_handles.find(port);
  if (it == m_handles.end()) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return nullptr;
  }
  return it->second;
}

platform::Handle SimSerialPorts::OpenSerial(std::string_view port,
                                            const platform::SerialOpenRequest& request,
                                            platform::SerialConfig* inForce) {
  const auto it = m_lines.find(text::ToUpper(port));
  if (it == m_lines.end()) {
    platform::SetLastError(platform::kErrorFileNotFound);
    return platform::kInvalidHandle;
  }
  if (!it->second->Open(request, inForce)) return platform::kInvalidHandle;
  const platform::Handle handle = m_nextHandle++;
  m_handles[handle] = it->second;
  return handle;
}

bool SimSerialPorts::ApplySerialSettings(platform::Handle port,
                                         const platform::SerialSettings& settings) {
  SerialLine* line = LineOf(port);
  return line != nullptr && line->Apply(settings);
}

bool SimSerialPorts::ReadSerial(platform::Handle port, void* buffer, uint32_t count,
                                uint32_t* read) {
  SerialLine* line = LineOf(port);
  if (line == nullptr) {
    if (read != nullptr) *read = 0;
    return false;
  }
  uint32_t ignored = 0;
  return line->Read(static_cast<uint8_t*>(buffer), count, read != nullptr ? read : &ignored);
}

bool SimSerialPorts::WriteSerial(platform::Handle port, const void* bytes, uint32_t count,
                                 uint32_t* written) {
  SerialLine* line = LineOf(port);
  if (line == nullptr) {
    if (written != nullptr) *written = 0;
    return false;
  }
  uint32_t ignored = 0;
  return line->Write(static_cast<const uint8_t*>(bytes), count,
                     written != nullptr ? written : &ignored);
}

bool SimSerialPorts::PurgeSerial(platform::Handle port) {
  SerialLine* line = LineOf(port);
  if (line == nullptr) return false;
  line->Purge();
  return true;
}

void SimSerialPorts::CloseAll() {
  for (const auto& [handle, line] : m_handles) line->Close(nullptr);
  m_handles.clear();
}

bool SimSerialPorts::CloseSerial(platform::Handle port, const platform::SerialConfig* restore) {
  SerialLine* line = LineOf(port);
  if (line == nullptr) return false;
  m_handles.erase(port);
  line->Close(restore);
  return true;
}

}  // namespace sim
