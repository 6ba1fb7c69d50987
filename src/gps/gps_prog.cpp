#include "gps/gps_prog.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "gps/flash_engine.h"
#include "gps/flash_engine_ops.h"
#include "gps/serial_boot.h"
#include "log/log.h"
#include "package/file_virtual.h"
#include "platform/platform.h"
#include "text/text.h"

namespace {

constexpr const char* kGpsDevice = "GPS1:";
constexpr const char* kGpsPort = "COM6:";
constexpr const char* kDriverKey = "Drivers\\Builtin\\GPSDev";
constexpr const char* kLoadAlways = "LoadAlways";
constexpr uint32_t kSerialBaud = 38400;
constexpr uint32_t kPauseBeforeFirmwareMs = 2000;
constexpr uint32_t kVersionBufferBytes = 80;
constexpr std::size_t kFirmwareVersionLength = 5;

bool NamesBinaryImage(std::string_view file) {
  return file.find(".bin") != std::string_view::npos || file.find(".BIN") != std::string_view::npos;
}

bool FitsSlot(std::string_view value, std::size_t slot) { return text::Utf16Length(value) < slot; }

std::string CutToSlot(std::string_view value, std::size_t slot) {
  return text::TruncateToUnits(std::string(value), slot);
}

// A decimal number as the runtime's "%d" reads it: blanks, a sign, digits (at least one).
// Numbers beyond 32 bits saturate.
bool ParseDecimal(std::string_view text, int32_t* value) {
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  int64_t number = 0;
  const std::size_t digits = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    number = std::min<int64_t>(number * 10 + (text[at++] - '0'), int64_t{1} << 32);
  }
  if (at == digits) return false;
  if (negative) number = -number;
  number = std::clamp<int64_t>(number, std::numeric_limits<int32_t>::min(),
                               std::numeric_limits<int32_t>::max());
  *value = static_cast<int32_t>(number);
  return true;
}

// The driver's version text; false when the query fails. *counted is whether the byte count
// returned is the text's length plus its terminator.
bool QueryVersion(platform::Handle gps, std::string* text, bool* counted) {
  char buffer[kVersionBufferBytes] = {};
  uint32_t returned = 0;
  // One byte is held back, so the text always ends in a zero.
  if (!platform::Hal().DeviceIoControl(gps, kIoctlGpsGetVersion, nullptr, 0, buffer,
                                       kVersionBufferBytes - 1, &returned)) {
    return false;
  }
  const std::size_t length = std::strlen(buffer);
  *text = std::string(buffer, length);
  *counted = returned == length + 1;
  return true;
}

bool SetMode(platform::Handle gps, uint8_t mode) {
  uint32_t returned = 0;
  return platform::Hal().DeviceIoControl(gps, kIoctlGpsSetMode, &mode, 1, nullptr, 0, &returned);
}

void SignalComplete(platform::Handle gps) {
  const uint8_t zero = 0;
  uint32_t returned = 0;
  platform::Hal().DeviceIoControl(gps, kIoctlGpsComplete, &zero, 1, nullptr, 0, &returned);
}

platform::Handle OpenGpsDriver() {
  return platform::Fs().Open(kGpsDevice, platform::kGenericRead, platform::kShareNone,
                             platform::Disposition::kOpenExisting, 0);
}

enum class ReadOutcome { kRead, kNotOpened, kFailed };

// Reads a whole package member into a zero-filled buffer of its size plus `extra` bytes. `kind`
// names it in the messages ("Binary", "Firmware").
ReadOutcome ReadMember(GpsProgState& g, const std::string& name, const char* kind, uint32_t extra,
                       std::unique_ptr<uint8_t[]>* buffer, uint32_t* size) {
  if (InterfaceOpenFile(g.files, name) == 0) {
    GpsDebug(g, 1, "GPSProg: CANNOT OPEN '%s'\r\n", name);
    return ReadOutcome::kNotOpened;
  }
  *size = InterfaceFileSize(g.files, name);
  GpsDebug(g, 2, "GPSProg: Opened '%s', size '%d' bytes\r\n", name, *size);
  bool failed = false;
  const uint64_t allocation = static_cast<uint64_t>(*size) + extra;
  if (allocation > std::numeric_limits<uint32_t>::max()) {
    buffer->reset();
  } else {
    buffer->reset(new (std::nothrow) uint8_t[allocation]());
  }
  if (!*buffer) {
    GpsDebug(g, 1, "GPSProg: Unable to allocate buffer for %s file\r\n", kind);
    failed = true;
  } else {
    GpsDebug(g, 2, "GPSProg: Allocated blocksize of %d bytes\r\n", *size);
    g.bytesRead = 0;
    if (InterfaceFileRead(g.files, buffer->get(), *size, &g.bytesRead) == 0) {
      GpsDebug(g, 1, "GPSProg: Read %s file failed. Last Error=%d\r\n", kind,
               platform::GetLastError());
      failed = true;
    } else if (g.bytesRead != *size) {
      GpsDebug(g, 1, "GPSProg: Failed to read all of %s file.\r\n", kind);
      failed = true;
    } else {
      GpsDebug(g, 1, "GPSProg: Read %s file ok\r\n", kind);
    }
  }
  if (InterfaceFileClose(g.files) == 0) {
    GpsDebug(g, 1, "GPSProg: Failed to close %s file, error=%d\r\n", kind,
             platform::GetLastError());
    failed = true;
  }
  return failed ? ReadOutcome::kFailed : ReadOutcome::kRead;
}

}  // namespace

int GPSProgSetBootFile(GpsProgState& g, std::string_view file, std::string_view minDriverVersion) {
  if (!FitsSlot(file, GpsProgState::kBootFileSlot)) {
    GpsDebug(g, 1, "GPSProg: Boot filename too long [%s]\r\n", file);
    g.bootFileGiven = 0;
    return 0;
  }
  g.bootFileName = std::string(file);
  g.minDriverVersion = CutToSlot(minDriverVersion, GpsProgState::kMinDriverSlot);
  GpsDebug(g, 2, "GPS Boot filename [%s] Min driver version [%s]\r\n", g.bootFileName,
           g.minDriverVersion);
  g.bootFileGiven = 1;
  return 1;
}

int GPSProgSetFirmwareFile(GpsProgState& g, std::string_view file, std::string_view version) {
  const bool binary = NamesBinaryImage(file);
  if (!FitsSlot(file, binary ? GpsProgState::kBootFileSlot : GpsProgState::kSrecFileSlot)) {
    GpsDebug(g, 1, "GPSProg: Firmware filename too long [%s]\r\n", file);
    g.firmwareGiven = 0;
    return 0;
  }
  g.firmwareIsBinary = binary ? 1 : 0;
  (binary ? g.bootFileName : g.srecFileName) = std::string(file);
  g.expectedVersion = CutToSlot(version, GpsProgState::kVersionSlot);
  GpsDebug(g, 2, "GPS Firmware filename [%s] Version [%s]\r\n", file, g.expectedVersion);
  g.firmwareGiven = 1;
  return 1;
}

int GPSProg(GpsProgState& g, FlashEngineSession& engine, FlashProgramState& program) {
  DebugAt(3, "GPSProg: Started\r\n");
  g.result = 0;
  InterfaceStart(g.files);
  if (g.firmwareGiven != 0 && (g.bootFileGiven != 0 || g.firmwareIsBinary != 0)) {
    GPSProgReadFiles(g, engine, program);
  }
  InterfaceStop(g.files);
  GpsDebug(g, 2,
           g.result == 1 ? "GPSProg: Completed Successfully!!\r\n" : "GPSProg: UPDATE FAILED\r\n");
  return static_cast<int>(g.result);
}

void GPSProgReadFiles(GpsProgState& g, FlashEngineSession& engine, FlashProgramState& program) {
  bool failed = false;
  if (g.bootFileGiven != 0 || g.firmwareIsBinary != 0) {
    const ReadOutcome read =
        ReadMember(g, g.bootFileName, "Binary", 0, &g.binaryBuffer, &g.binarySize);
    if (read == ReadOutcome::kNotOpened) return;
    failed = read == ReadOutcome::kFailed;
  }
  if (g.firmwareIsBinary != 0) {
    if (!failed) g.result = static_cast<uint32_t>(GPSProgramGpsFast(g, engine, program));
  } else if (!failed) {
    const ReadOutcome read =
        ReadMember(g, g.srecFileName, "Firmware", 1, &g.srecBuffer, &g.srecSize);
    if (read == ReadOutcome::kRead) g.result = static_cast<uint32_t>(GPSProgramGpsSerial(g));
  }
  g.binaryBuffer.reset();
  g.srecBuffer.reset();
  GPSProgProgress(g, 200);
}

int GPSProgramGpsSerial(GpsProgState& g) {
  GPSProgStatus(g, "Initialising");
  GPSProgProgress(g, 0);
  GPSSetLoadAlways();
  const platform::Handle gps = OpenGpsDriver();
  if (gps == platform::kInvalidHandle) {
    GPSProgStatus(g, "Unable to access GPS device");
    return 0;
  }
  if (!GPSCheckDriverVersion(g, gps)) {
    GPSProgStatus(g, "OS Upgrade required.");
    platform::Fs().Close(gps);
    return 1;
  }
  if (!SetMode(gps, kGpsModeProgramming)) {
    GPSProgStatus(g, "Unable to talk to GPS device");
    platform::Fs().Close(gps);
    return 0;
  }
  bool programmed = false;
  const platform::Handle port = SerialOpenPort(kGpsPort, kSerialBaud);
  if (port == platform::kInvalidHandle) {
    GPSProgStatus(g, "Unable to open COM port");
  } else {
    gps::PortLine line(port);
    if (!SendBootLoader(g, line)) {
      GPSProgStatus(g, "Unable to send boot file");
    } else {
      platform::Kern().Sleep(kPauseBeforeFirmwareMs);
      if (!SendSRecordFile(g, line)) {
        GPSProgStatus(g, "Unable to send data file");
      } else {
        GPSProgStatus(g, "Programming complete, verifying...");
        programmed = true;
      }
    }
    platform::Serial().CloseSerial(port, nullptr);
  }
  SetMode(gps, kGpsModeNormal);
  if (programmed) {
    if (GPSVerifyFirmwareVersion(g, gps)) {
      GPSProgStatus(g, "Programming successful");
      GPSClearLoadAlways();
      SignalComplete(gps);
      platform::Fs().Close(gps);
      return 1;
    }
    GPSProgStatus(g, "Verification failed");
  }
  platform::Fs().Close(gps);
  return 0;
}

int GPSProgramGpsFast(GpsProgState& g, FlashEngineSession& engine, FlashProgramState& program) {
  GPSProgStatus(g, "Initialising");
  GPSProgProgress(g, 0);
  GPSSetLoadAlways();
  const platform::Handle gps = OpenGpsDriver();
  if (gps == platform::kInvalidHandle) return 0;
  if (!SetMode(gps, kGpsModeProgramming)) {
    platform::Fs().Close(gps);
    return 0;
  }
  const bool programmed =
      FlashEngineProgramSequence(g, engine, program, kGpsPort, g.binaryBuffer.get(), g.binarySize);
  SetMode(gps, kGpsModeNormal);
  int result = 0;
  if (programmed) {
    result = GPSVerifyFirmwareVersion(g, gps) ? 1 : 0;
    if (result == 1) {
      GPSClearLoadAlways();
      SignalComplete(gps);
    }
  }
  platform::Fs().Close(gps);
  return result;
}

bool GPSCheckDriverVersion(const GpsProgState& g, platform::Handle gps) {
  // A minimum that is no number asks for no particular driver.
  int32_t minimum = 0;
  if (!ParseDecimal(g.minDriverVersion, &minimum)) minimum = 0;
  std::string version;
  bool counted = false;
  if (!QueryVersion(gps, &version, &counted)) return false;
  if (!counted) return true;
  int32_t driver = 0;
  return ParseDecimal(version, &driver) && minimum <= driver;
}

bool GPSVerifyFirmwareVersion(const GpsProgState& g, platform::Handle gps) {
  std::string version;
  bool counted = false;
  if (!QueryVersion(gps, &version, &counted)) return false;
  if (!counted) return true;
  const std::size_t start =
      version.size() > kFirmwareVersionLength ? version.size() - kFirmwareVersionLength : 0;
  const std::u16string tail = text::ToUtf16(text::FromCodePage(version.substr(start)));
  const std::u16string expected = text::ToUtf16(g.expectedVersion);
  // A wide comparison of at most five characters that stops at a terminator.
  for (std::size_t i = 0; i < kFirmwareVersionLength; ++i) {
    const char16_t a = i < tail.size() ? tail[i] : u'\0';
    const char16_t b = i < expected.size() ? expected[i] : u'\0';
    if (a != b) return false;
    if (a == u'\0') return true;
  }
  return true;
}

void GPSSetLoadAlways() {
  auto& registry = platform::Reg();
  platform::Handle key = platform::kNullHandle;
  if (registry.OpenKey(kDriverKey, &key) != 0) return;
  const uint32_t one = 1;
  registry.SetValue(key, kLoadAlways, platform::kRegDword, &one, sizeof one);
  registry.Flush();
  registry.CloseKey(key);
}

void GPSClearLoadAlways() {
  auto& registry = platform::Reg();
  platform::Handle key = platform::kNullHandle;
  if (registry.OpenKey(kDriverKey, &key) != 0) return;
  registry.DeleteValue(key, kLoadAlways);
  registry.Flush();
  registry.CloseKey(key);
}
