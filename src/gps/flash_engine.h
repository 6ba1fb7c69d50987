// The flash-engine session: the serial link to the GPS chip at 38400 baud, the first-stage
// loader and its checksum echo, the chip's identification and clock configuration, the switch
// to the session's baud rate, and the upload of the flash engine, after which the flash
// commands can be sent. Operations return the status codes below (0 success) and work on the
// run's session, which is either idle or started.
#pragma once

#include <cstdint>
#include <string_view>

#include "gps/frame.h"
#include "gps/gps_line.h"
#include "platform/serial.h"

// Codes 1 to 21 come from the engine, 100 to 105 from the client.
enum FlashEngineStatus : uint32_t {
  kFlashEngineOk = 0,
  kFlashEngineNotBlank = 12,
  kFlashEngineSessionStarted = 100,
  kFlashEngineSessionNotStarted = 101,
  kFlashEngineLineSetup = 102,
  kFlashEngineInitialLoad = 103,
  kFlashEngineCommunication = 104,
  kFlashEngineClockNotSupported = 105,
};

inline constexpr uint32_t kFlashEngineSessionBaud = 307200;
inline constexpr uint32_t kFlashEngineStartBaud = 38400;
inline constexpr uint8_t kChipClassNoClockDetection = 0x23;

struct FlashEngineSession {
  gps::PortLine line;
  platform::SerialConfig saved;      // read at open, written back at close
  platform::SerialSettings working;  // in force; the baud switch changes it
  uint32_t started = 0;
  uint8_t chipClass = 0;
  uint8_t rfType = 0;
  uint32_t clockFrequency = 0;  // Hz; 0 until detected, then kept for later sessions of the run
  uint32_t engineStatus = 0;
  gps::FrameBuffer frame;
};

// Opens the port, loads the first stage, identifies the chip, sets its clock and the session's
// baud rate, and loads the engine. 0, or 100 in a session, 102 a port that cannot be set up,
// 103 a failed load, 104 a failed exchange, 105 a clock that cannot be detected. A failed start
// leaves the port closed with its settings given back.
uint32_t FlashEngineStartSession(FlashEngineSession& session, std::string_view port,
                                 uint32_t sessionBaud);
// Sends 0x22 (whatever comes of it), gives the port back its settings and closes it: 0, or 101
// when no session is started.
uint32_t FlashEngineEndSession(FlashEngineSession& session);
// Copies the client's own version, "2.0". Always 0.
uint32_t FlashEngineGetVersion(char (&text)[64]);
// The text of a status code; "Unknown error" for codes it does not know.
const char* FlashEngineErrorText(uint32_t status);

// The link, on the session's frame buffer. SendFrame sends what was packed there; ReceiveFrame
// leaves the reply's payload at the buffer's start.
bool FlashEngineSendFrame(FlashEngineSession& session);
bool FlashEngineReceiveFrame(FlashEngineSession& session, uint32_t* length);
// Sends the command packed in the frame buffer and receives its reply; true when the reply's
// first byte is the code plus one (consumed). The caller parses the fields that follow and
// checks with Complete() that nothing is missing or left over.
bool FlashEngineExchange(FlashEngineSession& session);
bool FlashEngineLoadFirstStage(FlashEngineSession& session, const uint8_t* image, uint32_t length);
bool FlashEngineLoadEngine(FlashEngineSession& session, const uint8_t* image, uint32_t length);
bool FlashEngineSetBaud(FlashEngineSession& session, uint32_t baud, uint8_t chipClass);
bool FlashEngineSetClock(FlashEngineSession& session, uint8_t rfType, uint32_t frequency);

// The UART divisor for a baud rate: 49107000 / baud rounded to the chip class's step.
uint16_t FlashEngineUartDivisor(uint32_t baud, uint8_t chipClass);
// The clock frequency that the chip's clock words give: 0 when the table has none, with
// *unsupported set where the table marks the combination as an error (status 105).
uint32_t FlashEngineClockFrequency(uint8_t rfType, uint16_t clockWord1, uint16_t clockWord2,
                                   bool* unsupported);
// The 8 configuration bytes of a frequency for the RF type, or null when there are none.
const uint8_t* FlashEngineClockConfig(uint8_t rfType, uint32_t frequency);
