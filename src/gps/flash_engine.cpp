#include "gps/flash_engine.h"

#include <cstring>
#include <span>

#include "gps/chip_images.h"
#include "platform/platform.h"

namespace {

constexpr uint8_t kCmdSetBaud = 0x00;
constexpr uint8_t kCmdLoadBlock = 0x02;
constexpr uint8_t kCmdLoadDone = 0x04;
constexpr uint8_t kCmdEndSession = 0x22;
constexpr uint8_t kCmdSetClassOption = 0x26;
constexpr uint8_t kCmdSetClock = 0x28;
constexpr uint8_t kCmdChipClass = 0x2A;
constexpr uint8_t kCmdRfType = 0x2C;
constexpr uint8_t kCmdClockWord1 = 0x2E;
constexpr uint8_t kCmdClockWord2 = 0x30;
constexpr uint8_t kFirstStageCode = '$';
constexpr uint8_t kFirstStageKind = 'S';

constexpr uint32_t kEngineBlock = 1280;
constexpr uint32_t kPauseMs = 500;
constexpr int32_t kUartReference = 49107000;
constexpr uint8_t kClockModeRf0 = 0x07;
constexpr uint8_t kClockModeOther = 0x08;

constexpr struct {
  uint32_t status;
  const char* text;
} kStatusTexts[] = {
    {0, "OK"},
    {1, "Flash already opened"},
    {2, "Bad chip select"},
    {3, "Erase sector error"},
    {4, "Flash write error"},
    {5, "Flash not found"},
    {6, "Flash not opened"},
    {7, "Unknown flash type"},
    {8, "Invalid offset"},
    {9, "Invalid erase size"},
    {10, "Bus width is not 16 nor 32"},
    {11, "Can not reprogram flash"},
    {12, "Area is not blank"},
    {13, "Sector number is invalid"},
    {16, "This flavor of GSP2 chip is not supported"},
    {17, "Flash descriptor pointer is invalid"},
    {18, "Flash descriptor is invalid"},
    {19, "Specified flash not found"},
    {20, "Unsupported GSP3 configuration found"},
    {21, "Invalid parameter specified"},
    {100, "Session already started"},
    {101, "Session not started"},
    {102, "Comm line setup error"},
    {103, "Initial load error"},
    {104, "Communication error"},
    {105, "GRF3w clock frequency not supported in auto mode"},
};

// The frequency of clock words whose select bits are 3, by the low 5 bits of word 2.
struct ClockByCode {
  uint8_t code;
  uint32_t frequency;
};
constexpr ClockByCode kRf0ByCode[] = {{0, 13000000},  {10, 16369000}, {11, 16800000},
                                      {18, 19200000}, {29, 24553500}, {31, 26000000}};
constexpr ClockByCode kOtherRfByCode[] = {{0, 13000000},  {7, 16369000},  {8, 16800000},
                                          {13, 19200000}, {21, 24553500}, {23, 26000000},
                                          {30, 33600000}};
// The frequency of select bits 0 to 2, whatever the RF type.
constexpr uint32_t kBySelect[3] = {16369000, 24553500, 26000000};

struct ClockConfig {
  uint32_t frequency;
  uint8_t rf0[8];  // all zero where the frequency is not supported with RF type 0
  bool rf0Supported;
  uint8_t other[8];
};
constexpr ClockConfig kClockConfigs[] = {
    {13000000,
     {0x1c, 0x1e, 0xe0, 0xae, 0xa3, 0x27, 0xdd, 0x00},
     true,
     {0x03, 0xcf, 0x10, 0x38, 0x02, 0x20, 0x27, 0xa0}},
    {16369000,
     {0x00, 0x00, 0x00, 0x0b, 0xa3, 0x27, 0xdd, 0x00},
     true,
     {0x03, 0xcf, 0x10, 0x38, 0x00, 0x30, 0x07, 0xa0}},
    {16800000,
     {0x11, 0x30, 0x46, 0x4b, 0x43, 0x27, 0xdd, 0x00},
     true,
     {0x03, 0xcf, 0x10, 0x38, 0x02, 0x60, 0x37, 0xa0}},
    {19200000,
     {0x1b, 0x0a, 0x3d, 0x89, 0xc3, 0x27, 0xdd, 0x00},
     true,
     {0x03, 0xcf, 0x10, 0x38, 0x02, 0x14, 0x37, 0xa0}},
    {24553500,
     {0x00, 0x00, 0x00, 0x07, 0xa3, 0x27, 0xdd, 0x00},
     true,
     {0x03, 0xcf, 0x10, 0x38, 0x00, 0x20, 0x07, 0xa0}},
    {26000000,
     {0x0e, 0x0f, 0x70, 0x67, 0x23, 0x27, 0xdd, 0x00},
     true,
     {0x03, 0xcf, 0x10, 0x38, 0x01, 0x10, 0x27, 0xa0}},
    {33600000, {}, false, {0x03, 0xcf, 0x10, 0x38, 0x01, 0x30, 0x37, 0xa0}},
};

platform::SerialConfig SessionConfig(const platform::SerialConfig& inForce) {
  platform::SerialConfig config = inForce;
  platform::SerialSettings& s = config.settings;
  s.baudRate = kFlashEngineStartBaud;
  s.byteSize = 8;
  s.parity = platform::kNoParity;
  s.stopBits = platform::kOneStopBit;
  s.flags &= ~(platform::kDcbOutxCtsFlow | platform::kDcbOutxDsrFlow | platform::kDcbOutX |
               platform::kDcbInX | platform::kDcbDtrControlMask | platform::kDcbRtsControlMask);
  s.flags |= platform::kDcbControlEnable << platform::kDcbDtrControlShift;
  s.flags |= platform::kDcbControlEnable << platform::kDcbRtsControlShift;
  config.timeouts.readInterval = 2000;
  config.timeouts.readTotalMultiplier = 4;
  config.timeouts.readTotalConstant = 2000;
  return config;
}

void ClosePort(FlashEngineSession& g) {
  platform::Serial().CloseSerial(g.line.Port(), &g.saved);
  g.line.SetPort(platform::kInvalidHandle);
}

// A command without fields whose reply carries none either.
bool SimpleCommand(FlashEngineSession& g, uint8_t code) {
  gps::FrameBuffer& frame = g.frame;
  frame.Begin(code);
  return FlashEngineExchange(g) && frame.Complete();
}

// A command without fields whose reply is one number of the given width.
template <typename T>
bool QueryCommand(FlashEngineSession& g, uint8_t code, T* value) {
  gps::FrameBuffer& frame = g.frame;
  frame.Begin(code);
  if (!FlashEngineExchange(g)) return false;
  if constexpr (sizeof(T) == 1) {
    *value = frame.GetU8();
  } else {
    *value = frame.GetU16();
  }
  return frame.Complete();
}

// Steps 3 to 10 of a session start, once the port is open: a failure gives its status.
uint32_t StartOnOpenPort(FlashEngineSession& g, uint32_t sessionBaud) {
  platform::Kern().Sleep(kPauseMs);
  if (!FlashEngineLoadFirstStage(g, kFirstStageLoader, kFirstStageLoaderSize)) {
    return kFlashEngineInitialLoad;
  }
  if (!QueryCommand(g, kCmdChipClass, &g.chipClass)) return kFlashEngineCommunication;
  if (g.chipClass == kChipClassNoClockDetection) {
    gps::FrameBuffer& frame = g.frame;
    frame.Begin(kCmdSetClassOption);
    frame.PutU8(0x00);
    if (!FlashEngineExchange(g) || !frame.Complete()) return kFlashEngineCommunication;
  } else {
    if (!QueryCommand(g, kCmdRfType, &g.rfType)) return kFlashEngineCommunication;
    if (g.clockFrequency == 0) {
      uint16_t word1 = 0;
      uint16_t word2 = 0;
      if (!QueryCommand(g, kCmdClockWord1, &word1) || !QueryCommand(g, kCmdClockWord2, &word2)) {
        return kFlashEngineCommunication;
      }
      bool unsupported = false;
      g.clockFrequency = FlashEngineClockFrequency(g.rfType, word1, word2, &unsupported);
      if (unsupported) return kFlashEngineClockNotSupported;
    }
    if (!FlashEngineSetClock(g, g.rfType, g.clockFrequency)) return kFlashEngineCommunication;
  }
  if (!FlashEngineSetBaud(g, sessionBaud, g.chipClass)) return kFlashEngineLineSetup;
  platform::Kern().Sleep(kPauseMs);
  if (!FlashEngineLoadEngine(g, kFlashEngine, kFlashEngineSize)) return kFlashEngineInitialLoad;
  return kFlashEngineOk;
}

}  // namespace

const char* FlashEngineErrorText(uint32_t status) {
  for (const auto& entry : kStatusTexts) {
    if (entry.status == status) return entry.text;
  }
  return "Unknown error";
}

uint32_t FlashEngineGetVersion(char (&text)[64]) {
  std::memset(text, 0, sizeof text);
  std::memcpy(text, "2.0", 3);
  return kFlashEngineOk;
}

bool FlashEngineSendFrame(FlashEngineSession& session) { return session.frame.Send(session.line); }

bool FlashEngineReceiveFrame(FlashEngineSession& session, uint32_t* length) {
  const bool received = session.frame.Receive(session.line);
  *length = received ? session.frame.PayloadLength() : 0;
  return received;
}

bool FlashEngineExchange(FlashEngineSession& session) {
  gps::FrameBuffer& frame = session.frame;
  // The code sits after the two length bytes until the frame goes out.
  const uint8_t code = frame.Bytes()[2];
  uint32_t length = 0;
  if (!FlashEngineSendFrame(session) || !FlashEngineReceiveFrame(session, &length)) return false;
  return frame.GetU8() == static_cast<uint8_t>(code + 1) && frame.Good();
}

bool FlashEngineLoadFirstStage(FlashEngineSession& session, const uint8_t* image, uint32_t length) {
  gps::FrameBuffer& frame = session.frame;
  frame.Begin(kFirstStageCode);
  frame.PutU8(kFirstStageKind);
  frame.PutU8(0x00);
  frame.PutU32(length);
  frame.PutBytes(image, length);
  frame.PutU32(0);
  if (!FlashEngineExchange(session)) return false;
  const uint8_t echoed = frame.GetU8();
  return frame.Complete() && echoed == gps::Checksum8(image, length);
}

bool FlashEngineLoadEngine(FlashEngineSession& session, const uint8_t* image, uint32_t length) {
  gps::FrameBuffer& frame = session.frame;
  for (uint32_t offset = 0; offset < length; offset += kEngineBlock) {
    const uint32_t block = length - offset < kEngineBlock ? length - offset : kEngineBlock;
    frame.Begin(kCmdLoadBlock);
    frame.PutU32(offset);
    frame.PutBytes(image + offset, block);
    if (!FlashEngineExchange(session)) return false;
  }
  frame.Begin(kCmdLoadDone);
  frame.PutU32(0);
  return FlashEngineExchange(session);
}

uint16_t FlashEngineUartDivisor(uint32_t baud, uint8_t chipClass) {
  if (baud == 0) return 0;
  const int32_t q = kUartReference / static_cast<int32_t>(baud);
  const int32_t divisor = chipClass == kChipClassNoClockDetection ? (q + 8) & ~15 : (q + 2) & ~3;
  return static_cast<uint16_t>(divisor);
}

bool FlashEngineSetBaud(FlashEngineSession& g, uint32_t baud, uint8_t chipClass) {
  g.frame.Begin(kCmdSetBaud);
  g.frame.PutU32(baud);
  g.frame.PutU16(FlashEngineUartDivisor(baud, chipClass));
  if (!FlashEngineExchange(g) || !g.frame.Complete()) return false;
  g.working.baudRate = baud;
  return platform::Serial().ApplySerialSettings(g.line.Port(), g.working);
}

uint32_t FlashEngineClockFrequency(uint8_t rfType, uint16_t clockWord1, uint16_t clockWord2,
                                   bool* unsupported) {
  *unsupported = false;
  const uint32_t select = (clockWord1 >> 12) & 3;
  if (select < 3) return kBySelect[select];
  const uint8_t code = clockWord2 & 0x1F;
  for (const ClockByCode& entry : rfType == 0 ? std::span<const ClockByCode>(kRf0ByCode)
                                              : std::span<const ClockByCode>(kOtherRfByCode)) {
    if (entry.code == code) return entry.frequency;
  }
  *unsupported = rfType == 0;
  return 0;
}

const uint8_t* FlashEngineClockConfig(uint8_t rfType, uint32_t frequency) {
  for (const ClockConfig& entry : kClockConfigs) {
    if (entry.frequency != frequency) continue;
    if (rfType != 0) return entry.other;
    return entry.rf0Supported ? entry.rf0 : nullptr;
  }
  return nullptr;
}

bool FlashEngineSetClock(FlashEngineSession& session, uint8_t rfType, uint32_t frequency) {
  const uint8_t* config = FlashEngineClockConfig(rfType, frequency);
  if (config == nullptr) return false;
  gps::FrameBuffer& frame = session.frame;
  frame.Begin(kCmdSetClock);
  frame.PutU8(0x05);
  frame.PutU8(0x00);
  frame.PutU8(rfType == 0 ? kClockModeRf0 : kClockModeOther);
  frame.PutBytes(config, 8);
  return FlashEngineExchange(session) && frame.Complete();
}

uint32_t FlashEngineStartSession(FlashEngineSession& g, std::string_view port,
                                 uint32_t sessionBaud) {
  if (g.started != 0) return kFlashEngineSessionStarted;
  platform::SerialOpenRequest request;
  request.derive = SessionConfig;
  const platform::Handle handle = platform::Serial().OpenSerial(port, request, &g.saved);
  if (handle == platform::kInvalidHandle) return kFlashEngineLineSetup;
  g.line.SetPort(handle);
  g.working = SessionConfig(g.saved).settings;
  if (!platform::Serial().PurgeSerial(handle)) {
    ClosePort(g);
    return kFlashEngineLineSetup;
  }
  const uint32_t status = StartOnOpenPort(g, sessionBaud);
  if (status != kFlashEngineOk) {
    ClosePort(g);
    return status;
  }
  g.started = 1;
  return kFlashEngineOk;
}

uint32_t FlashEngineEndSession(FlashEngineSession& g) {
  if (g.started == 0) return kFlashEngineSessionNotStarted;
  SimpleCommand(g, kCmdEndSession);
  ClosePort(g);
  g.started = 0;
  return kFlashEngineOk;
}
