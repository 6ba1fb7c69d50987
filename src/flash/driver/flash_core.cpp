#include "flash/driver/flash_core.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "flash/driver/ecc.h"
#include "flash/driver/nand_regs.h"
#include "platform/platform.h"

namespace flash_driver {

// The core's own types; named rather than anonymous, since FlashCore::Tables holds them.
namespace detail {

constexpr int kSockets = 2;
constexpr int kPartitions = 4;
constexpr uint32_t kBlockGranule = 1024;
// A controller that stays busy this many status reads has hung.
constexpr int kBusyPolls = 100000;
// The largest chip the core accepts: 4096 units of up to 1024 pages of up to 8 KB.
constexpr uint32_t kMaxUnits = 4096;
constexpr uint32_t kMaxPagesPerUnit = 1024;
constexpr uint32_t kMaxPageSize = 8192;
constexpr uint32_t kMaxSpareSize = 1024;
constexpr uint32_t kProtectDeviceWindow =
    platform::kPageReadWrite | platform::kPageNoCache | platform::kPagePhysical;

struct Geometry {
  uint32_t pageSize = 0;
  uint32_t spareSize = 0;
  uint32_t pagesPerUnit = 0;
  uint32_t units = 0;

  uint32_t Sectors() const { return pageSize / kEccSectorSize; }
  uint32_t HeaderOffset() const { return Sectors() * kEccBytes; }
  uint32_t UnitSize() const { return pageSize * pagesPerUnit; }
  uint32_t RawPage() const { return pageSize + spareSize; }

  bool Usable() const {
    return pageSize >= kEccSectorSize && pageSize <= kMaxPageSize &&
           pageSize % kEccSectorSize == 0 && spareSize <= kMaxSpareSize &&
           spareSize >= HeaderOffset() + kUnitHeaderSize && pagesPerUnit >= 1 &&
           pagesPerUnit <= kMaxPagesPerUnit && units >= 1 && units <= kMaxUnits;
  }
};

// The media layer: one controller behind one window.
class Media {
 public:
  bool Attach(uintptr_t window) {
    m_window = window;
    if (Read(kRegId0) != kId0 || Read(kRegId1) != kId1) return false;
    Write(kRegCommand, kCmdReset);
    if (Wait() != kFlOk) return false;
    m_geometry.pageSize = Read16(kRegPageSize);
    m_geometry.spareSize = Read(kRegSpareSize);
    m_geometry.pagesPerUnit = Read16(kRegPagesPerUnit);
    m_geometry.units = Read16(kRegUnits) | static_cast<uint32_t>(Read16(kRegUnits + 2)) << 16;
    if (!m_geometry.Usable()) return false;
    m_page.assign(m_geometry.RawPage(), 0xFF);
    return true;
  }

  const Geometry& Geo() const { return m_geometry; }
  // The page buffer of the last read, data then spare.
  uint8_t* Page() { return m_page.data(); }

  int ReadPage(uint32_t page) {
    Latch(page);
    Write(kRegCommand, kCmdReadPage);
    if (int status = Wait(); status != kFlOk) return status;
    SetPointer(0);
    platform::Hal().ReadRegisterBufferUchar(m_window + kRegData, m_page.data(),
                                            static_cast<uint32_t>(m_page.size()));
    return kFlOk;
  }

  // Reads `count` spare bytes from `offset` of the page's spare area.
  int ReadSpare(uint32_t page, uint32_t offset, uint8_t* out, uint32_t count) {
    Latch(page);
    Write(kRegCommand, kCmdReadPage);
    if (int status = Wait(); status != kFlOk) return status;
    SetPointer(m_geometry.pageSize + offset);
    platform::Hal().ReadRegisterBufferUchar(m_window + kRegData, out, count);
    return kFlOk;
  }

  // Programs `count` bytes at `offset` of the raw page (data then spare); the rest stays as it
  // is, since 0xFF programs nothing.
  int Program(uint32_t page, uint32_t offset, const uint8_t* bytes, uint32_t count) {
    Latch(page);
    Write(kRegCommand, kCmdProgramStart);
    SetPointer(offset);
    platform::Hal().WriteRegisterBufferUchar(m_window + kRegData, bytes, count);
    Write(kRegCommand, kCmdProgramPage);
    return Wait();
  }

  int EraseUnit(uint32_t unit) {
    Latch(unit * m_geometry.pagesPerUnit);
    Write(kRegCommand, kCmdEraseUnit);
    return Wait();
  }

 private:
  uint8_t Read(uint32_t reg) { return platform::Hal().ReadRegisterUchar(m_window + reg); }
  uint32_t Read16(uint32_t reg) { return Read(reg) | static_cast<uint32_t>(Read(reg + 1)) << 8; }
  void Write(uint32_t reg, uint8_t value) {
    platform::Hal().WriteRegisterUchar(m_window + reg, value);
  }
  void Latch(uint32_t page) {
    for (uint32_t i = 0; i < 4; ++i) Write(kRegAddress + i, static_cast<uint8_t>(page >> (8 * i)));
  }
  void SetPointer(uint32_t pointer) {
    Write(kRegPointer, static_cast<uint8_t>(pointer));
    Write(kRegPointer + 1, static_cast<uint8_t>(pointer >> 8));
  }
  int Wait() {
    for (int poll = 0; poll < kBusyPolls; ++poll) {
      const uint8_t status = Read(kRegStatus);
      if ((status & kStatusReady) != 0) return (status & kStatusFail) != 0 ? kFlWriteFault : kFlOk;
    }
    return kFlTimedOut;
  }

  uintptr_t m_window = 0;
  Geometry m_geometry;
  std::vector<uint8_t> m_page;
};

using UnitHeader = std::array<uint8_t, kUnitHeaderSize>;

// A write in progress on one binary partition.
struct Write {
  bool active = false;
  uint32_t remaining = 0;
  uint64_t offset = 0;
  std::vector<uint32_t> units;  // physical units of the new image in logical order
};

struct Socket {
  bool registered = false;
  uintptr_t window = 0;
  Media media;
  std::array<Write, kPartitions> writes;
};

struct Core {
  bool initialised = false;
  std::array<Socket, kSockets> sockets;
};

int ReadHeader(Media& media, uint32_t unit, UnitInfo* info) {
  const Geometry& geo = media.Geo();
  UnitHeader raw{};
  if (int status =
          media.ReadSpare(unit * geo.pagesPerUnit, geo.HeaderOffset(), raw.data(), kUnitHeaderSize);
      status != kFlOk) {
    return status;
  }
  *info = ParseUnitHeader(raw.data());
  return kFlOk;
}

// A partition as its units tell: the run of units after the anchor that carries the signature,
// with their headers as read. A unit of the run whose header is lost or torn stays in it (as a
// free unit), so that a cut while it was erased costs the partition nothing.
struct PartitionUnits {
  std::vector<uint32_t> run;
  std::vector<UnitInfo> headers;
};

int FindPartition(Media& media, uint32_t partition, const char* sign, PartitionUnits* found) {
  *found = {};
  const Geometry& geo = media.Geo();
  for (uint32_t unit = 0; unit < geo.units; ++unit) {
    UnitInfo anchor;
    if (int status = ReadHeader(media, unit, &anchor); status != kFlOk) return status;
    if (!anchor.Anchor() || anchor.partition != partition || !anchor.Signed(sign)) continue;
    const uint32_t end = std::min<uint32_t>(geo.units, unit + anchor.generation);
    for (uint32_t member = unit + 1; member < end; ++member) {
      UnitInfo header;
      if (int status = ReadHeader(media, member, &header); status != kFlOk) return status;
      // A unit that says it is another partition's is never taken.
      if (header.valid && (header.partition != partition || header.Anchor())) continue;
      found->run.push_back(member);
      found->headers.push_back(header);
    }
    break;
  }
  return kFlOk;
}

// The socket and partition a call names, its socket registered; a status when it cannot be had.
int Resolve(FlashCore& core, IoRequest* request, Socket** socket, uint32_t* partition) {
  if (request == nullptr || request->data == nullptr) return kFlBadParameter;
  const uint32_t socketNo = request->handle & 0x0F;
  *partition = (request->handle >> 4) & 0x0F;
  if (socketNo > 1 || *partition > 3) return kFlBadDriveHandle;
  Core& tables = core.State();
  if (!tables.initialised) flInit(core);
  if (socketNo == 0 && !tables.sockets[0].registered) flRegisterComponents(core);
  *socket = &tables.sockets[socketNo];
  if (!(*socket)->registered) return kFlAdapterNotFound;
  if (request->data->signOffset != kHeaderSignature) return kFlBadParameter;
  return kFlOk;
}

int PartitionInfo(Socket& socket, uint32_t partition, BinaryPartitionRequest& bp) {
  PartitionUnits units;
  if (int status = FindPartition(socket.media, partition, bp.oldSign, &units); status != kFlOk) {
    return status;
  }
  bp.startingBlock = static_cast<uint32_t>(units.run.size()) * socket.media.Geo().UnitSize();
  return kFlOk;
}

// Clears a flag of the image's header on its logical unit 0.
int ProgramFlag(Media& media, uint32_t unit, uint8_t flag) {
  const Geometry& geo = media.Geo();
  const uint8_t value = static_cast<uint8_t>(~flag);
  return media.Program(unit * geo.pagesPerUnit, geo.pageSize + geo.HeaderOffset() + kHeaderFlags,
                       &value, 1);
}

// Before the first unit of a whole image is erased, the image stops counting as whole: start-up
// must never take an image with a unit missing.
int RetireImage(Media& media, PartitionUnits& units, uint16_t generation) {
  for (std::size_t i = 0; i < units.run.size(); ++i) {
    UnitInfo& header = units.headers[i];
    if (!header.Whole() || header.generation != generation) continue;
    if (int status = ProgramFlag(media, units.run[i], kFlagLive); status != kFlOk) return status;
    header.retired = true;
  }
  return kFlOk;
}

// The units the new image takes, by index into the run: those outside the image in use when
// they are enough (free ones first, then those of older or unfinished images); otherwise the
// image in use is written over as well.
std::vector<std::size_t> ChooseUnits(const PartitionUnits& units, uint64_t needed) {
  const std::optional<uint16_t> inUse = GenerationInUse(units.headers);
  std::vector<std::size_t> outside;
  std::vector<std::size_t> current;
  for (std::size_t i = 0; i < units.run.size(); ++i) {
    const UnitInfo& header = units.headers[i];
    (inUse && header.Image() && header.generation == *inUse ? current : outside).push_back(i);
  }
  std::stable_partition(outside.begin(), outside.end(),
                        [&](std::size_t i) { return !units.headers[i].Image(); });
  if (outside.size() < needed) outside.insert(outside.end(), current.begin(), current.end());
  if (outside.size() > needed) outside.resize(static_cast<std::size_t>(needed));
  return outside;
}

int WriteInit(Socket& socket, uint32_t partition, BinaryPartitionRequest& bp) {
  Write& write = socket.writes[partition];
  write = Write{};
  Media& media = socket.media;
  const Geometry& geo = media.Geo();
  PartitionUnits units;
  if (int status = FindPartition(media, partition, bp.oldSign, &units); status != kFlOk) {
    return status;
  }
  const uint64_t needed = (uint64_t{bp.length} + geo.UnitSize() - 1) / geo.UnitSize();
  uint16_t newest = 0;
  for (const UnitInfo& header : units.headers) {
    if (header.Image()) newest = std::max(newest, header.generation);
  }
  const uint16_t generation = static_cast<uint16_t>(newest + 1);
  const std::vector<std::size_t> chosen = ChooseUnits(units, needed);
  for (std::size_t logical = 0; logical < chosen.size(); ++logical) {
    const std::size_t i = chosen[logical];
    if (units.headers[i].Image()) {
      if (int status = RetireImage(media, units, units.headers[i].generation); status != kFlOk) {
        return status;
      }
    }
    const uint32_t unit = units.run[i];
    if (int status = media.EraseUnit(unit); status != kFlOk) return status;
    UnitHeader header{};
    MakeUnitHeader(header.data(), static_cast<uint8_t>(partition), generation,
                   static_cast<uint16_t>(logical), bp.newSign);
    if (int status = media.Program(unit * geo.pagesPerUnit, geo.pageSize + geo.HeaderOffset(),
                                   header.data(), kUnitHeaderSize);
        status != kFlOk) {
      return status;
    }
    write.units.push_back(unit);
  }
  write.active = true;
  write.remaining = bp.length;
  write.offset = static_cast<uint64_t>(bp.startingBlock) * 65536;
  return kFlOk;
}

// Programs the sectors [offset, offset + count) of a page from data, with their check bytes.
int ProgramSectors(Media& media, uint32_t page, uint32_t offset, const uint8_t* data,
                   uint32_t count) {
  const Geometry& geo = media.Geo();
  std::vector<uint8_t> raw(geo.RawPage(), 0xFF);
  std::memcpy(raw.data() + offset, data, count);
  for (uint32_t at = offset; at < offset + count; at += kEccSectorSize) {
    EccCompute(raw.data() + at, raw.data() + geo.pageSize + at / kEccSectorSize * kEccBytes);
  }
  return media.Program(page, 0, raw.data(), geo.RawPage());
}

// Reads sectors back through the correction and compares them with what was meant.
int VerifySectors(Media& media, uint32_t page, uint32_t offset, const uint8_t* data,
                  uint32_t count) {
  const Geometry& geo = media.Geo();
  if (int status = media.ReadPage(page); status != kFlOk) return status;
  uint8_t* raw = media.Page();
  for (uint32_t at = offset; at < offset + count; at += kEccSectorSize) {
    if (EccCorrect(raw + at, raw + geo.pageSize + at / kEccSectorSize * kEccBytes) ==
        EccResult::kUncorrectable) {
      return kFlDataError;
    }
  }
  return std::memcmp(raw + offset, data, count) == 0 ? kFlOk : kFlDataError;
}

int WriteBlock(Socket& socket, uint32_t partition, BinaryPartitionRequest& bp) {
  Write& write = socket.writes[partition];
  if (!write.active) return kFlNotInitialised;
  if (bp.length % kBlockGranule != 0 || bp.length > write.remaining) return kFlBadLength;
  if (bp.length == 0) return kFlOk;
  if (bp.buffer == nullptr) return kFlBadParameter;
  Media& media = socket.media;
  const Geometry& geo = media.Geo();
  const uint64_t unitSize = geo.UnitSize();
  for (int pass = 0; pass < 2; ++pass) {
    uint64_t offset = write.offset;
    uint32_t done = 0;
    while (done < bp.length) {
      const uint64_t logical = offset / unitSize;
      if (logical >= write.units.size()) return kFlNoSpace;
      const uint32_t inUnit = static_cast<uint32_t>(offset % unitSize);
      const uint32_t page = write.units[logical] * geo.pagesPerUnit + inUnit / geo.pageSize;
      const uint32_t inPage = inUnit % geo.pageSize;
      const uint32_t count = std::min(geo.pageSize - inPage, bp.length - done);
      const int status = pass == 0 ? ProgramSectors(media, page, inPage, bp.buffer + done, count)
                                   : VerifySectors(media, page, inPage, bp.buffer + done, count);
      if (status != kFlOk) return status;
      offset += count;
      done += count;
    }
  }
  write.offset += bp.length;
  write.remaining -= bp.length;
  // The write stays active: a block past its end is a bad length, not a missing write init.
  if (write.remaining == 0 && !write.units.empty()) {
    return ProgramFlag(media, write.units.front(), kFlagIncomplete);
  }
  return kFlOk;
}

}  // namespace detail

struct FlashCore::Tables : detail::Core {};

using detail::kProtectDeviceWindow;
using detail::Socket;

FlashCore::FlashCore() : m_tables(std::make_unique<Tables>()) {}

detail::Core& FlashCore::State() { return *m_tables; }

FlashCore::~FlashCore() {
  for (Socket& socket : m_tables->sockets) {
    if (socket.registered && platform::IsInstalled()) platform::Hal().VirtualFree(socket.window);
  }
}

int flInit(FlashCore& core) {
  detail::Core& tables = core.State();
  if (tables.initialised) return kFlOk;
  tables = detail::Core{};
  tables.initialised = true;
  return kFlOk;
}

int flRegisterComponents(FlashCore& core) {
  if (!core.State().initialised) flInit(core);
  Socket& socket = core.State().sockets[0];
  if (socket.registered) return kFlOk;
  platform::HardwareLayer& hal = platform::Hal();
  const uintptr_t window = hal.VirtualAlloc(kWindowSize);
  if (window == 0 ||
      !hal.VirtualCopy(window, kWindowPhysicalAddress, kWindowSize, kProtectDeviceWindow)) {
    if (window != 0) hal.VirtualFree(window);
    platform::Kern().DebugOutput("#: VirtualAlloc() failed\r\n");
    return 0;
  }
  if (!socket.media.Attach(window)) {
    hal.VirtualFree(window);
    return kFlAdapterNotFound;
  }
  socket.window = window;
  socket.registered = true;
  return kFlOk;
}

int flCall(FlashCore& core, int function, IoRequest* request) {
  using Handler = int (*)(Socket&, uint32_t, BinaryPartitionRequest&);
  static constexpr struct {
    int function;
    Handler handler;
  } kFunctions[] = {{kFlBinaryWriteInit, detail::WriteInit},
                    {kFlBinaryWriteBlock, detail::WriteBlock},
                    {kFlBinaryPartitionInfo, detail::PartitionInfo}};
  for (const auto& entry : kFunctions) {
    if (entry.function != function) continue;
    Socket* socket = nullptr;
    uint32_t partition = 0;
    if (int status = detail::Resolve(core, request, &socket, &partition); status != kFlOk) {
      return status;
    }
    return entry.handler(*socket, partition, *request->data);
  }
  return kFlBadFunction;
}

}  // namespace flash_driver
