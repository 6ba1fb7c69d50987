#include "sim/gps_chip.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "gps/chip_images.h"
#include "gps/flash_engine.h"
#include "sim/state_file.h"

namespace sim {

using gps_images::FindPart;
using gps_images::NorPart;
using gps_images::ReadPartTable;

namespace {

constexpr const char* kPortName = "COM6:";
constexpr uint32_t kRomBaud = 38400;
constexpr uint32_t kUartReference = 49107000;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr std::size_t kLargestFrame = 4096;
constexpr std::size_t kLargestUpload = 1 << 20;
constexpr std::size_t kLargestEngine = 1 << 16;
constexpr std::size_t kLongestLine = 1024;
constexpr std::size_t kFactoryFirmwareSize = 256 * 1024;
constexpr std::string_view kHeaderRecord = "S00600004844521B\r\n";
// The open reply's values: the flash's read cycle in units of 32 ns, which the terminal hands
// back multiplied out for the engine's bus timing, and the bus width.
constexpr uint32_t kReadCycleUnits = 3;
constexpr uint32_t kBusWidth = 16;
constexpr uint32_t kLargestWrite = 1024;

constexpr uint32_t kStatusOk = 0;
constexpr uint32_t kStatusAlreadyOpen = 1;
constexpr uint32_t kStatusWriteError = 4;
constexpr uint32_t kStatusNotFound = 5;
constexpr uint32_t kStatusNotOpen = 6;
constexpr uint32_t kStatusInvalidOffset = 8;
constexpr uint32_t kStatusInvalidEraseSize = 9;
constexpr uint32_t kStatusNotBlank = 12;
constexpr uint32_t kStatusBadSector = 13;
constexpr uint32_t kStatusInvalidParameter = 21;

// Reads a request's fields after its code; reading past its end marks it bad.
class Fields {
 public:
  explicit Fields(std::span<const uint8_t> bytes) : m_bytes(bytes) {}
  uint8_t U8() {
    if (m_at >= m_bytes.size()) {
      m_ok = false;
      return 0;
    }
    return m_bytes[m_at++];
  }
  uint16_t U16() {
    const uint16_t high = U8();
    return static_cast<uint16_t>(high << 8 | U8());
  }
  uint32_t U32() {
    const uint32_t high = U16();
    return high << 16 | U16();
  }
  std::span<const uint8_t> Rest() {
    const auto rest = m_bytes.subspan(std::min(m_at, m_bytes.size()));
    m_at = m_bytes.size();
    return rest;
  }
  // Every field was there and nothing is left over.
  bool Exact() const { return m_ok && m_at == m_bytes.size(); }

 private:
  std::span<const uint8_t> m_bytes;
  std::size_t m_at = 1;
  bool m_ok = true;
};

void PutU16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  PutU16(out, value >> 16);
  PutU16(out, value & 0xFFFF);
}

void PutText(std::vector<uint8_t>& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

uint8_t Checksum(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (const uint8_t byte : bytes) sum = static_cast<uint8_t>(sum + byte);
  return static_cast<uint8_t>(-sum);
}

bool Equals(std::span<const uint8_t> bytes, const uint8_t* expected, std::size_t size) {
  return bytes.size() == size && std::equal(bytes.begin(), bytes.end(), expected);
}

const std::vector<NorPart>& StandInTable() {
  static const std::vector<NorPart> table =
      ReadPartTable(std::span<const uint8_t>(kFlashEngine, kFlashEngineSize));
  return table;
}

const std::vector<uint8_t>& StandInBootLoader() {
  static const std::vector<uint8_t> loader = gps_images::MakeBootLoader();
  return loader;
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06X", value);
  return text;
}

}  // namespace

GpsChip::GpsChip(GpsChipServices services)
    : m_services(std::move(services)),
      m_config(m_services.config),
      m_line(m_services.clock, *this) {
  m_services.ports.RegisterPort(kPortName, &m_line);
}

GpsChip::~GpsChip() { m_services.ports.RegisterPort(kPortName, nullptr); }

void GpsChip::PowerOn() {
  ++m_powerCycle;
  m_stage = Stage::kFirmware;
  m_handedOver = false;
  m_programmed = 0;
  m_badLines = 0;
  m_flash.reset();
  m_factory = false;
  m_dirty = false;
  ResetLink();
}

void GpsChip::PowerOff() {
  SaveFlash();
  m_stage = Stage::kFirmware;
  m_handedOver = false;
}

Status GpsChip::CheckFiles() const {
  const std::filesystem::path file = m_services.dir / "flash.bin";
  std::error_code error;
  if (!std::filesystem::exists(file, error)) return {};
  const uint64_t size = std::filesystem::file_size(file, error);
  if (error) return Status::Failure(file.string() + ": cannot be read (" + error.message() + ")");
  const uint32_t capacity = FlashPart().capacity;
  if (size > capacity) {
    return Status::Failure(file.string() + ": " + std::to_string(size) +
                           " bytes, more than the GPS flash part " + FlashPart().name + " holds (" +
                           std::to_string(capacity) +
                           "); remove it or give the chip a larger part in terminal.json");
  }
  return {};
}

void GpsChip::ResetLink() {
  m_rate = kRomBaud;
  m_pendingRate = 0;
  m_awaitingAck = false;
  m_afterAck = Then::kNothing;
  m_rx.clear();
  m_upload.clear();
  m_firstStage.clear();
  m_engine.clear();
  m_lineText.clear();
  m_headerSeen = false;
  m_clockWrong = false;
  m_enginePart.reset();
  m_flashOpen = false;
  m_timingSet = false;
}

void GpsChip::HandOver() {
  m_session = Session{};
  m_session->handedOverMs = m_services.clock.Now();
  m_handedOver = true;
  m_stage = Stage::kRom;
  ResetLink();
}

void GpsChip::TakeBack() {
  if (m_session) m_session->takenBackMs = m_services.clock.Now();
  m_handedOver = false;
  m_stage = Stage::kFirmware;
  ResetLink();
  SaveFlash();
}

bool GpsChip::PortOpening() {
  if (!m_handedOver) {
    // The GPS driver holds the port while it runs the receiver.
    platform::SetLastError(platform::kErrorAccessDenied);
    return false;
  }
  return true;
}

NorPart GpsChip::FlashPart() const {
  // The configuration is checked when it is read; a part changed in memory to one the table
  // does not know falls back to the default.
  if (auto part = FindPart(StandInTable(), m_config.flashPart)) return *part;
  return *FindPart(StandInTable(), GpsConfig().flashPart);
}

NorFlash& GpsChip::Flash() {
  if (m_flash && m_flash->Part().name != FlashPart().name) {
    // The hardware was changed to another part: it keeps the bytes that fit.
    std::vector<uint8_t> bytes(m_flash->Bytes().begin(), m_flash->Bytes().end());
    m_flash.emplace(FlashPart());
    m_flash->Load(std::move(bytes));
  }
  if (!m_flash) {
    m_flash.emplace(FlashPart());
    std::ifstream in(m_services.dir / "flash.bin", std::ios::binary);
    if (in) {
      // Never more than the part holds, whatever the file's size (CheckFiles refused a larger
      // one when the terminal opened).
      std::vector<uint8_t> bytes(m_flash->Capacity());
      in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      bytes.resize(static_cast<std::size_t>(in.gcount()));
      m_flash->Load(std::move(bytes));
      m_factory = false;
    } else {
      m_factory = true;
    }
  }
  return *m_flash;
}

void GpsChip::Touch() {
  NorFlash& flash = Flash();
  if (m_factory) {
    const auto factory = gps_images::MakeFirmwareImage(
        m_config.firmwareVersion, std::min<std::size_t>(kFactoryFirmwareSize, flash.Capacity()));
    flash.Program(0, factory);
    m_factory = false;
  }
  m_dirty = true;
}

std::vector<uint8_t> GpsChip::FlashContents() {
  NorFlash& flash = Flash();
  std::vector<uint8_t> bytes(flash.Bytes().begin(), flash.Bytes().end());
  if (m_factory) {
    const auto factory = gps_images::MakeFirmwareImage(
        m_config.firmwareVersion, std::min<std::size_t>(kFactoryFirmwareSize, bytes.size()));
    std::copy(factory.begin(), factory.end(), bytes.begin());
  }
  return bytes;
}

std::string GpsChip::FirmwareVersion() {
  NorFlash& flash = Flash();
  if (m_factory) return m_config.firmwareVersion;
  return gps_images::FirmwareVersionIn(flash.Bytes()).value_or("");
}

void GpsChip::SaveFlash() {
  if (!m_dirty || !m_flash) return;
  std::error_code error;
  std::filesystem::create_directories(m_services.dir, error);
  const auto bytes = m_flash->Bytes();
  const Status saved =
      ReplaceFile(m_services.dir / "flash.bin",
                  std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (saved) {
    m_dirty = false;
  } else {
    m_saveError = saved.error();
  }
}

Nanos GpsChip::ProgramTime(std::size_t bytes) const {
  return static_cast<Nanos>((bytes + 1) / 2) * m_config.wordProgramUs * 1000;
}

bool GpsChip::ProgramCounted(uint32_t address, std::span<const uint8_t> data, Nanos start,
                             bool* held) {
  Touch();
  const auto& cut = m_config.powerCutAfterBytes;
  if (cut && m_programmed + data.size() >= *cut) {
    const std::size_t part =
        *cut > m_programmed ? static_cast<std::size_t>(*cut - m_programmed) : 0;
    Flash().Program(address, data.first(part));
    m_programmed += part;
    m_stage = Stage::kHalted;
    const Nanos when = start + ProgramTime(part);
    const uint64_t cycle = m_powerCycle;
    m_services.clock.At((when + kNanosPerMs - 1) / kNanosPerMs, [this, cycle] {
      if (m_powerCycle == cycle) m_services.cutPower();
    });
    return false;
  }
  *held = Flash().Program(address, data);
  m_programmed += data.size();
  if (m_session) m_session->programming += ProgramTime(data.size());
  return true;
}

bool GpsChip::StepDone(std::string what, Nanos done) {
  WriteSteps* steps = m_services.steps;
  if (steps == nullptr) return false;
  WriteStep step;
  step.part = StepPart::kGps;
  step.what = std::move(what);
  if (!steps->Done(std::move(step))) return false;
  m_stage = Stage::kHalted;
  const uint64_t cycle = m_powerCycle;
  m_services.clock.At((done + kNanosPerMs - 1) / kNanosPerMs, [this, cycle, steps] {
    if (m_powerCycle == cycle) steps->CutPower();
  });
  return true;
}

Nanos GpsChip::Send(std::span<const uint8_t> bytes, Nanos at) {
  if (m_session) m_session->chipBytes[m_rate] += bytes.size();
  return m_line.SendToTerminal(bytes, at, m_rate);
}

bool GpsChip::FaultHits(uint8_t code) const {
  return m_config.fault != GpsFault::kNone &&
         (!m_config.faultCommand || *m_config.faultCommand == code);
}

void GpsChip::Receive(std::span<const uint8_t> bytes, Nanos start, uint32_t baud) {
  if (m_session) m_session->terminalBytes[baud] += bytes.size();
  if (m_config.fault == GpsFault::kSilent) return;
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    if (m_stage == Stage::kFirmware || m_stage == Stage::kHalted) return;
    const uint8_t value = RatesMatch(baud, m_rate) ? bytes[k] : Garble(bytes[k]);
    Feed(value, ByteArrival(start, baud, k));
  }
}

void GpsChip::Feed(uint8_t value, Nanos at) {
  switch (m_stage) {
    case Stage::kUpload:
      FeedUpload(value, at);
      return;
    case Stage::kBootLoader:
      FeedBootLoader(value, at);
      return;
    case Stage::kRom:
    case Stage::kFirstStage:
    case Stage::kEngine:
      if (m_awaitingAck) {
        m_awaitingAck = false;
        if (value == kAck) AfterAck(at);
        m_afterAck = Then::kNothing;
        return;
      }
      if (m_stage == Stage::kRom && m_rx.empty() && value == 'S') {
        m_stage = Stage::kUpload;
        m_upload.assign(1, value);
        return;
      }
      FeedFrame(value, at);
      return;
    case Stage::kFirmware:
    case Stage::kHalted:
      return;
  }
}

void GpsChip::FeedFrame(uint8_t value, Nanos at) {
  m_rx.push_back(value);
  if (m_rx.size() < 2) return;
  const std::size_t length = static_cast<std::size_t>(m_rx[0]) << 8 | m_rx[1];
  if (length > kLargestFrame) {
    m_rx.clear();
    return;
  }
  if (m_rx.size() < length + 3) return;
  const std::vector<uint8_t> frame = std::move(m_rx);
  m_rx.clear();
  uint8_t sum = 0;
  for (const uint8_t byte : frame) sum = static_cast<uint8_t>(sum + byte);
  if (sum != 0) {
    const uint8_t refuse = kNak;
    Send({&refuse, 1}, at);
    return;
  }
  OnFrame(std::span<const uint8_t>(frame).subspan(2, length), at);
}

void GpsChip::OnFrame(std::span<const uint8_t> payload, Nanos at) {
  const uint8_t code = payload.empty() ? 0 : payload[0];
  if (FaultHits(code) && m_config.fault == GpsFault::kNak) {
    const uint8_t refuse = kNak;
    Send({&refuse, 1}, at);
    return;
  }
  const uint8_t accept = kAck;
  Send({&accept, 1}, at);
  static constexpr Command kRom[] = {{'$', &GpsChip::LoadFirstStage}};
  static constexpr Command kFirstStage[] = {
      {0x2A, &GpsChip::ChipClass},  {0x2C, &GpsChip::RfType},      {0x2E, &GpsChip::ClockWord1},
      {0x30, &GpsChip::ClockWord2}, {0x26, &GpsChip::ClassOption}, {0x28, &GpsChip::SetClock},
      {0x00, &GpsChip::SetBaud},    {0x02, &GpsChip::LoadBlock},   {0x04, &GpsChip::LoadDone},
      {0x22, &GpsChip::EndSession}};
  static constexpr Command kEngine[] = {
      {0x06, &GpsChip::OpenFlash},  {0x08, &GpsChip::Write},      {0x0C, &GpsChip::EraseSector},
      {0x0E, &GpsChip::CloseFlash}, {0x14, &GpsChip::SectorInfo}, {0x18, &GpsChip::BlankCheck},
      {0x1A, &GpsChip::SetValueA},  {0x1E, &GpsChip::Crc},        {0x22, &GpsChip::EndSession}};
  const std::span<const Command> table =
      m_stage == Stage::kRom
          ? std::span<const Command>(kRom)
          : (m_stage == Stage::kFirstStage ? std::span<const Command>(kFirstStage)
                                           : std::span<const Command>(kEngine));
  const auto found = std::find_if(table.begin(), table.end(),
                                  [code](const Command& command) { return command.code == code; });
  if (found == table.end()) return;
  const Stage stage = m_stage;
  m_commandStart = std::max(at, m_busyUntil);
  std::optional<Reply> reply = (this->*found->handler)(payload);
  // A command during which the power went answers nothing.
  if (!reply || (m_stage == Stage::kHalted && stage != Stage::kHalted)) return;
  if (FaultHits(code) && m_config.fault == GpsFault::kLongReply) reply->payload.push_back(0);
  const std::size_t length = reply->payload.size();
  std::vector<uint8_t> frame;
  frame.reserve(length + 3);
  PutU16(frame, static_cast<uint32_t>(length));
  frame.insert(frame.end(), reply->payload.begin(), reply->payload.end());
  frame.push_back(Checksum(frame));
  if (FaultHits(code) && m_config.fault == GpsFault::kBadChecksum) frame.back() ^= 0x5A;
  m_busyUntil = m_commandStart + reply->busy;
  Send(frame, m_busyUntil);
  m_awaitingAck = true;
  m_afterAck = reply->then;
}

void GpsChip::AfterAck(Nanos /*at*/) {
  switch (m_afterAck) {
    case Then::kNothing:
      return;
    case Then::kSwitchRate:
      m_rate = m_pendingRate;
      return;
    case Then::kRunFirstStage:
      m_stage = Equals(m_firstStage, kFirstStageLoader, kFirstStageLoaderSize) ? Stage::kFirstStage
                                                                               : Stage::kHalted;
      return;
    case Then::kRunEngine:
      if (!Equals(m_engine, kFlashEngine, kFlashEngineSize)) {
        m_stage = Stage::kHalted;
        return;
      }
      m_stage = Stage::kEngine;
      m_enginePart = FindPart(ReadPartTable(m_engine), FlashPart().name);
      return;
    case Then::kRestart:
      m_stage = Stage::kFirmware;
      SaveFlash();
      return;
    case Then::kHalt:
      m_stage = Stage::kHalted;
      return;
  }
}

void GpsChip::FeedUpload(uint8_t value, Nanos /*at*/) {
  m_upload.push_back(value);
  if (m_upload.size() < 6) return;
  if (m_upload[1] != 0) {
    m_stage = Stage::kHalted;
    return;
  }
  const std::size_t length = static_cast<std::size_t>(m_upload[2]) << 24 |
                             static_cast<std::size_t>(m_upload[3]) << 16 |
                             static_cast<std::size_t>(m_upload[4]) << 8 | m_upload[5];
  if (length > kLargestUpload) {
    m_stage = Stage::kHalted;
    return;
  }
  if (m_upload.size() < 6 + length + 4) return;
  const std::span<const uint8_t> body = std::span<const uint8_t>(m_upload).subspan(6, length);
  const bool trailer =
      std::all_of(m_upload.end() - 4, m_upload.end(), [](uint8_t b) { return b == 0; });
  const auto& loader = StandInBootLoader();
  // Only this project's stand-in boot loader runs; anything else leaves the chip dead.
  m_stage =
      trailer && Equals(body, loader.data(), loader.size()) ? Stage::kBootLoader : Stage::kHalted;
  m_upload.clear();
  m_lineText.clear();
  m_headerSeen = false;
}

void GpsChip::FeedBootLoader(uint8_t value, Nanos at) {
  m_lineText.push_back(static_cast<char>(value));
  if (value == '\n') {
    const std::string line = std::move(m_lineText);
    m_lineText.clear();
    OnBootLoaderLine(line, at);
  } else if (m_lineText.size() > kLongestLine) {
    ++m_badLines;
    m_lineText.clear();
  }
}

void GpsChip::OnBootLoaderLine(const std::string& line, Nanos at) {
  const Nanos start = std::max(at, m_busyUntil);
  if (!m_headerSeen) {
    // Lines before the header record are noise to the boot loader.
    if (line != kHeaderRecord) return;
    m_headerSeen = true;
    Touch();
    Flash().EraseAll();
    m_busyUntil = start + static_cast<Nanos>(m_config.chipEraseMs) * kNanosPerMs;
    if (m_session) m_session->erasing += m_busyUntil - start;
    if (StepDone("GPS chip erase", m_busyUntil)) return;
    const std::string& ack = m_config.bootAck;
    Send(std::span(reinterpret_cast<const uint8_t*>(ack.data()), ack.size()), m_busyUntil);
    return;
  }
  const std::optional<gps_images::SRecord> record = gps_images::ParseSRecord(line);
  if (!record) {
    ++m_badLines;
    return;
  }
  switch (record->type) {
    case '1':
    case '2':
    case '3': {
      bool held = true;
      if (!ProgramCounted(record->address, record->data, start, &held)) return;
      if (!held) ++m_badLines;
      m_busyUntil = start + ProgramTime(record->data.size());
      StepDone("GPS record of " + std::to_string(record->data.size()) + " bytes at " +
                   Hex(record->address),
               m_busyUntil);
      return;
    }
    case '7':
    case '8':
    case '9':
      SaveFlash();
      return;
    default:
      return;
  }
}

GpsChip::Reply GpsChip::StatusReply(uint8_t code, uint32_t status,
                                    std::span<const uint8_t> fields) {
  Reply reply;
  reply.payload.push_back(static_cast<uint8_t>(code + 1));
  const bool faulted = FaultHits(code) && m_config.fault == GpsFault::kStatus;
  PutU32(reply.payload, faulted ? m_config.faultStatus : status);
  reply.payload.insert(reply.payload.end(), fields.begin(), fields.end());
  return reply;
}

std::optional<GpsChip::Reply> GpsChip::LoadFirstStage(std::span<const uint8_t> request) {
  Fields fields(request);
  const uint8_t kind = fields.U8();
  const uint8_t zero = fields.U8();
  const uint32_t length = fields.U32();
  const std::span<const uint8_t> rest = fields.Rest();
  if (kind != 'S' || zero != 0 || rest.size() != static_cast<std::size_t>(length) + 4) {
    return std::nullopt;
  }
  m_firstStage.assign(rest.begin(), rest.begin() + length);
  Reply reply;
  reply.payload = {'%', Checksum(m_firstStage)};
  reply.then = Then::kRunFirstStage;
  return reply;
}

std::optional<GpsChip::Reply> GpsChip::ChipClass(std::span<const uint8_t> request) {
  if (!Fields(request).Exact()) return std::nullopt;
  return Reply{{0x2B, static_cast<uint8_t>(m_config.chipClass)}};
}

std::optional<GpsChip::Reply> GpsChip::RfType(std::span<const uint8_t> request) {
  if (!Fields(request).Exact()) return std::nullopt;
  return Reply{{0x2D, static_cast<uint8_t>(m_config.rfType)}};
}

std::optional<GpsChip::Reply> GpsChip::ClockWord1(std::span<const uint8_t> request) {
  if (!Fields(request).Exact()) return std::nullopt;
  Reply reply{{0x2F}};
  PutU16(reply.payload, m_config.clockWord1);
  return reply;
}

std::optional<GpsChip::Reply> GpsChip::ClockWord2(std::span<const uint8_t> request) {
  if (!Fields(request).Exact()) return std::nullopt;
  Reply reply{{0x31}};
  PutU16(reply.payload, m_config.clockWord2);
  return reply;
}

std::optional<GpsChip::Reply> GpsChip::ClassOption(std::span<const uint8_t> request) {
  Fields fields(request);
  fields.U8();
  if (!fields.Exact()) return std::nullopt;
  return Reply{{0x27}};
}

std::optional<GpsChip::Reply> GpsChip::SetClock(std::span<const uint8_t> request) {
  Fields fields(request);
  const uint8_t length = fields.U8();
  const uint8_t zero = fields.U8();
  const uint8_t mode = fields.U8();
  const std::span<const uint8_t> config = fields.Rest();
  if (length != 0x05 || zero != 0 || config.size() != 8) return std::nullopt;
  // The RF front end runs only with the configuration of its own crystal.
  bool unsupported = false;
  const uint8_t rfType = static_cast<uint8_t>(m_config.rfType);
  const uint32_t frequency =
      FlashEngineClockFrequency(rfType, static_cast<uint16_t>(m_config.clockWord1),
                                static_cast<uint16_t>(m_config.clockWord2), &unsupported);
  const uint8_t* expected = FlashEngineClockConfig(rfType, frequency);
  const uint8_t expectedMode = rfType == 0 ? 0x07 : 0x08;
  const bool right = expected != nullptr && mode == expectedMode &&
                     std::equal(config.begin(), config.end(), expected);
  return Reply{{0x29}, 0, right ? Then::kNothing : Then::kHalt};
}

std::optional<GpsChip::Reply> GpsChip::SetBaud(std::span<const uint8_t> request) {
  Fields fields(request);
  fields.U32();
  const uint16_t divisor = fields.U16();
  if (!fields.Exact()) return std::nullopt;
  if (divisor == 0) return Reply{{0x01}, 0, Then::kHalt};
  // The UART runs at the reference divided by the divisor, whatever rate was asked for.
  m_pendingRate = kUartReference / divisor;
  return Reply{{0x01}, 0, Then::kSwitchRate};
}

std::optional<GpsChip::Reply> GpsChip::LoadBlock(std::span<const uint8_t> request) {
  Fields fields(request);
  const uint32_t offset = fields.U32();
  const std::span<const uint8_t> block = fields.Rest();
  if (offset > kLargestEngine || block.size() > kLargestEngine - offset) return std::nullopt;
  if (m_engine.size() < offset + block.size()) m_engine.resize(offset + block.size());
  std::copy(block.begin(), block.end(), m_engine.begin() + offset);
  return Reply{{0x03}};
}

std::optional<GpsChip::Reply> GpsChip::LoadDone(std::span<const uint8_t> /*request*/) {
  return Reply{{0x05}, 0, Then::kRunEngine};
}

std::optional<GpsChip::Reply> GpsChip::EndSession(std::span<const uint8_t> request) {
  if (!Fields(request).Exact()) return std::nullopt;
  return Reply{{0x23}, 0, Then::kRestart};
}

std::optional<GpsChip::Reply> GpsChip::OpenFlash(std::span<const uint8_t> request) {
  Fields fields(request);
  for (int i = 0; i < 4; ++i) fields.U32();
  uint32_t status = fields.Exact() ? kStatusOk : kStatusInvalidParameter;
  if (status == kStatusOk && m_flashOpen) status = kStatusAlreadyOpen;
  if (status == kStatusOk && !m_enginePart) status = kStatusNotFound;
  const NorPart part = status == kStatusOk ? *m_enginePart : NorPart();
  std::vector<uint8_t> tail;
  PutU32(tail, kReadCycleUnits);
  PutU32(tail, kBusWidth);
  PutText(tail, part.name);
  PutText(tail, part.maker);
  PutU16(tail, part.deviceId);
  PutU16(tail, part.makerId);
  PutU32(tail, part.capacity);
  tail.push_back(static_cast<uint8_t>(part.regions.size()));
  for (const auto& [blocks, size] : part.regions) {
    PutU32(tail, blocks);
    PutU32(tail, size);
  }
  tail.push_back(static_cast<uint8_t>(part.BootBlocksOf()));
  PutU16(tail, static_cast<uint8_t>(part.CommandSetOf()));
  Reply reply = StatusReply(0x06, status, tail);
  if (status == kStatusOk && !FaultHits(0x06)) m_flashOpen = true;
  return reply;
}

std::optional<GpsChip::Reply> GpsChip::SetValueA(std::span<const uint8_t> request) {
  Fields fields(request);
  const uint32_t timing = fields.U32();
  uint32_t status = kStatusOk;
  if (!fields.Exact() || timing != kReadCycleUnits * 32) status = kStatusInvalidParameter;
  if (!m_flashOpen) status = kStatusNotOpen;
  if (status == kStatusOk) m_timingSet = true;
  return StatusReply(0x1A, status);
}

std::optional<GpsChip::Reply> GpsChip::Write(std::span<const uint8_t> request) {
  Fields fields(request);
  const uint32_t address = fields.U32();
  const uint32_t length = fields.U32();
  const std::span<const uint8_t> data = fields.Rest();
  uint32_t status = kStatusOk;
  if (!m_flashOpen || !m_timingSet) {
    status = kStatusNotOpen;
  } else if (data.size() != length || length > kLargestWrite) {
    status = kStatusInvalidParameter;
  } else if (!Flash().Holds(address, length)) {
    status = kStatusInvalidOffset;
  }
  Reply reply = StatusReply(0x08, status);
  if (status != kStatusOk || (FaultHits(0x08) && m_config.fault == GpsFault::kStatus)) return reply;
  bool held = true;
  if (!ProgramCounted(address, data, m_commandStart, &held)) return reply;
  if (!held) reply = StatusReply(0x08, kStatusWriteError);
  reply.busy = ProgramTime(length);
  // The power goes before the chip answers.
  if (StepDone("GPS write of " + std::to_string(length) + " bytes at " + Hex(address),
               m_commandStart + reply.busy)) {
    return std::nullopt;
  }
  return reply;
}

std::optional<GpsChip::Reply> GpsChip::EraseSector(std::span<const uint8_t> request) {
  Fields fields(request);
  const uint32_t address = fields.U32();
  const uint32_t size = fields.U32();
  uint32_t status = kStatusOk;
  const int64_t index = Flash().SectorStartingAt(address);
  uint32_t sectorAddress = 0;
  uint32_t sectorSize = 0;
  if (!m_flashOpen || !m_timingSet) {
    status = kStatusNotOpen;
  } else if (!fields.Exact()) {
    status = kStatusInvalidParameter;
  } else if (index < 0) {
    status = kStatusInvalidOffset;
  } else if (!Flash().Sector(static_cast<std::size_t>(index), &sectorAddress, &sectorSize) ||
             sectorSize != size) {
    status = kStatusInvalidEraseSize;
  }
  Reply reply = StatusReply(0x0C, status);
  if (status != kStatusOk || (FaultHits(0x0C) && m_config.fault == GpsFault::kStatus)) return reply;
  Touch();
  Flash().Erase(address, size);
  reply.busy = static_cast<Nanos>(m_config.sectorEraseMs) * kNanosPerMs;
  if (m_session) m_session->erasing += reply.busy;
  if (StepDone("GPS erase of sector " + std::to_string(index) + " at " + Hex(address),
               m_commandStart + reply.busy)) {
    return std::nullopt;
  }
  return reply;
}

std::optional<GpsChip::Reply> GpsChip::CloseFlash(std::span<const uint8_t> request) {
  uint32_t status = Fields(request).Exact() ? kStatusOk : kStatusInvalidParameter;
  if (!m_flashOpen) status = kStatusNotOpen;
  if (status == kStatusOk) {
    m_flashOpen = false;
    m_timingSet = false;
  }
  return StatusReply(0x0E, status);
}

std::optional<GpsChip::Reply> GpsChip::SectorInfo(std::span<const uint8_t> request) {
  Fields fields(request);
  const uint32_t index = fields.U32();
  uint32_t address = 0;
  uint32_t size = 0;
  uint32_t status = kStatusOk;
  if (!m_flashOpen || !m_timingSet) {
    status = kStatusNotOpen;
  } else if (!fields.Exact()) {
    status = kStatusInvalidParameter;
  } else if (!Flash().Sector(index, &address, &size)) {
    status = kStatusBadSector;
  }
  std::vector<uint8_t> tail;
  PutU32(tail, address);
  PutU32(tail, size);
  return StatusReply(0x14, status, tail);
}

std::optional<GpsChip::Reply> GpsChip::BlankCheck(std::span<const uint8_t> request) {
  Fields fields(request);
  const uint32_t offset = fields.U32();
  const uint32_t length = fields.U32();
  uint32_t status = kStatusOk;
  if (!m_flashOpen || !m_timingSet) {
    status = kStatusNotOpen;
  } else if (!fields.Exact()) {
    status = kStatusInvalidParameter;
  } else if (offset > Flash().Capacity()) {
    status = kStatusInvalidOffset;
  } else {
    // A range reaching past the flash is checked up to the flash's end. A flash never
    // programmed holds the factory firmware.
    const std::vector<uint8_t> bytes = FlashContents();
    const uint32_t inside = std::min(length, Flash().Capacity() - offset);
    status = std::all_of(bytes.begin() + offset, bytes.begin() + offset + inside,
                         [](uint8_t b) { return b == 0xFF; })
                 ? kStatusOk
                 : kStatusNotBlank;
  }
  return StatusReply(0x18, status);
}

std::optional<GpsChip::Reply> GpsChip::Crc(std::span<const uint8_t> request) {
  Fields fields(request);
  const uint32_t offset = fields.U32();
  const uint32_t length = fields.U32();
  const uint16_t seed = fields.U16();
  uint32_t status = kStatusOk;
  uint16_t crc = 0;
  if (!m_flashOpen || !m_timingSet) {
    status = kStatusNotOpen;
  } else if (!fields.Exact()) {
    status = kStatusInvalidParameter;
  } else if (!Flash().Holds(offset, length)) {
    status = kStatusInvalidOffset;
  } else {
    Touch();
    crc = Flash().Crc(offset, length, seed);
  }
  std::vector<uint8_t> tail;
  PutU16(tail, crc);
  return StatusReply(0x1E, status, tail);
}

void GpsChip::Describe(std::ostream& out) {
  const NorPart part = FlashPart();
  char line[160];
  std::snprintf(line, sizeof line,
                "  GPS chip:     class 0x%02X, RF type %u, clock words 0x%04X 0x%04X\n",
                m_config.chipClass, m_config.rfType, m_config.clockWord1, m_config.clockWord2);
  out << line;
  const std::string version = FirmwareVersion();
  std::snprintf(line, sizeof line, "  GPS flash:    %s (%s), %u bytes in %zu sectors, ",
                part.name.c_str(), part.maker.c_str(), part.capacity, Flash().SectorCount());
  out << line
      << (version.empty() ? std::string("no firmware version in it")
                          : "firmware " + version + (m_factory ? " (factory)" : ""))
      << "\n";
}

}  // namespace sim
