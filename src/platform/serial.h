// Serial ports of the terminal ("COM6:"), as whole tasks: open with settings derived from the
// ones in force, change the settings, read with the Windows time-out model, write, purge, and
// close with the saved settings given back. Failures follow Windows: a failure value and an
// error code for GetLastError.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/types.h"

namespace platform {

// The flags word of a device control block, bit for bit as Windows lays it out.
inline constexpr uint32_t kDcbBinary = 1U << 0;
inline constexpr uint32_t kDcbParityCheck = 1U << 1;
inline constexpr uint32_t kDcbOutxCtsFlow = 1U << 2;
inline constexpr uint32_t kDcbOutxDsrFlow = 1U << 3;
inline constexpr uint32_t kDcbDtrControlShift = 4;  // 2 bits: 0 disable, 1 enable, 2 handshake
inline constexpr uint32_t kDcbDtrControlMask = 3U << kDcbDtrControlShift;
inline constexpr uint32_t kDcbDsrSensitivity = 1U << 6;
inline constexpr uint32_t kDcbTxContinueOnXoff = 1U << 7;
inline constexpr uint32_t kDcbOutX = 1U << 8;
inline constexpr uint32_t kDcbInX = 1U << 9;
inline constexpr uint32_t kDcbErrorChar = 1U << 10;
inline constexpr uint32_t kDcbNull = 1U << 11;
inline constexpr uint32_t kDcbRtsControlShift = 12;  // 2 bits: 0 disable, 1 enable, 2 handshake
inline constexpr uint32_t kDcbRtsControlMask = 3U << kDcbRtsControlShift;
inline constexpr uint32_t kDcbAbortOnError = 1U << 14;
inline constexpr uint32_t kDcbControlEnable = 1;

inline constexpr uint8_t kNoParity = 0;
inline constexpr uint8_t kOneStopBit = 0;

// A read interval of this value with both totals 0 makes a read return at once.
inline constexpr uint32_t kMaxTimeout = 0xFFFFFFFF;

// The device control block's fields that the updater sets.
struct SerialSettings {
  uint32_t baudRate = 9600;
  uint32_t flags = kDcbBinary;
  uint8_t byteSize = 8;
  uint8_t parity = kNoParity;
  uint8_t stopBits = kOneStopBit;
  bool operator==(const SerialSettings&) const = default;
};

// The port's time-outs in milliseconds, as Windows keeps them.
struct SerialTimeouts {
  uint32_t readInterval = 0;
  uint32_t readTotalMultiplier = 0;
  uint32_t readTotalConstant = 0;
  uint32_t writeTotalMultiplier = 0;
  uint32_t writeTotalConstant = 0;
  bool operator==(const SerialTimeouts&) const = default;
};

struct SerialConfig {
  SerialSettings settings;
  SerialTimeouts timeouts;
  bool operator==(const SerialConfig&) const = default;
};

struct SerialOpenRequest {
  // Driver queue sizes to ask for; 0 leaves the driver's own.
  uint32_t inQueue = 0;
  uint32_t outQueue = 0;
  // Makes the settings and time-outs to apply from the ones in force.
  std::function<SerialConfig(const SerialConfig& inForce)> derive;
};

class SerialPorts {
 public:
  virtual ~SerialPorts() = default;

  // Opens a port ("COM6:") for reading and writing without sharing, asks for the queue sizes,
  // reads the settings and time-outs in force into *inForce and applies what the request
  // derives from them. kInvalidHandle on failure, with nothing left open: 2 no such port, 5 held
  // by another program, 87 settings the port cannot take.
  virtual Handle OpenSerial(std::string_view port, const SerialOpenRequest& request,
                            SerialConfig* inForce) = 0;
  // Applies changed settings (a new baud rate); the time-outs stay. False with 87 for settings
  // the port cannot take, 6 for a bad handle.
  virtual bool ApplySerialSettings(Handle port, const SerialSettings& settings) = 0;
  // Reads up to count bytes under the port's time-outs: it returns when count bytes arrived,
  // when the gap after a received byte exceeds the interval (0: no interval limit), or when the
  // total (multiplier x count + constant; both 0: none) has passed since the call, with what
  // arrived meanwhile. A time-out is a success with fewer bytes, possibly none.
  virtual bool ReadSerial(Handle port, void* buffer, uint32_t count, uint32_t* read) = 0;
  // Sends the bytes and returns once they have left the port; *written is the count sent.
  virtual bool WriteSerial(Handle port, const void* bytes, uint32_t count, uint32_t* written) = 0;
  // Empties both queues and aborts reads and writes in progress.
  virtual bool PurgeSerial(Handle port) = 0;
  // Gives the port back the saved settings and time-outs when they are given, and closes it.
  virtual bool CloseSerial(Handle port, const SerialConfig* restore) = 0;
};

}  // namespace platform
