// The flash driver core: runs inside the updater once the operating system's own disk driver
// is unloaded, and writes images into the binary partitions of the flash disk. It reaches the
// chip only through the registers of its controller (flash/driver/nand_regs.h) in a window of
// the hardware layer.
//
// Inside: a socket table (one controller per socket, found behind its window), a volume table
// (the binary partitions of each socket), a media layer (page reads and programs, unit erases,
// with error correction of every page) and the binary-partition calls.
//
// On the flash (the unit header's bytes are in flash/driver/nand_regs.h): each binary partition
// is a run of units that begins with its anchor, a unit never erased whose header says how long
// the run is; every other unit of the run carries a header with the partition, the signature, a
// generation and a logical unit number, or is free. An image is the units of one generation,
// logical 0 upwards; its logical unit 0 carries the complete mark, written after its last block,
// and the retired mark, written before an image is overwritten. Start-up takes the newest
// generation that is complete and not retired.
//
// Why a power cut at any point leaves a partition the next write init takes over: the anchor is
// never erased, so a unit erased and cut before its new header still belongs to the run (as a
// free unit); the new image goes to units outside the image in use whenever they are enough, so
// the image in use stays whole until the new one's complete mark; and when they are not, the
// image in use is retired before its first unit is erased, so start-up never takes an image with
// a unit missing (the terminal then has no whole image until the write ends).
#pragma once

#include <cstdint>
#include <memory>

namespace flash_driver {

// Statuses of the calls. 0 is success; 20, 24, 52 and 60 are what callers branch on.
enum FlStatus : int {
  kFlOk = 0,
  kFlBadFunction = 1,       // an unknown function number
  kFlNotInitialised = 2,    // a write block with no write init before it
  kFlBadParameter = 3,      // a signature offset outside the unit header, a null buffer
  kFlBadDriveHandle = 20,   // socket above 1 or binary partition above 3
  kFlBadLength = 24,        // a block length not a multiple of 1,024, or past the write init's
  kFlDataError = 25,        // a page that reads back wrong even after correction
  kFlWriteFault = 26,       // the controller failed a program or an erase
  kFlTimedOut = 30,         // the controller stayed busy
  kFlNoSpace = 52,          // the partition has no unit left for the data
  kFlAdapterNotFound = 60,  // no controller answers behind the window
};

// Function numbers of the call entry.
enum FlFunction : int {
  kFlBinaryWriteInit = 401,
  kFlBinaryWriteBlock = 402,
  kFlBinaryPartitionInfo = 503,
};

// The binary-partition request.
struct BinaryPartitionRequest {
  char oldSign[4] = {};
  char newSign[4] = {};
  uint8_t signOffset = 0;
  uint32_t startingBlock = 0;
  uint32_t length = 0;
  uint8_t flags = 0;
  uint8_t* buffer = nullptr;
};

// A call's handle: bits 0 to 3 the socket, bits 4 to 7 the binary partition.
struct IoRequest {
  uint32_t handle = 0;
  BinaryPartitionRequest* data = nullptr;
};

namespace detail {
struct Core;
}

// The core's tables for one run of the updater: its sockets, the controller found behind each
// and their binary partitions. The window that registration maps is given back when the core
// goes.
class FlashCore {
 public:
  FlashCore();
  ~FlashCore();
  FlashCore(const FlashCore&) = delete;
  FlashCore& operator=(const FlashCore&) = delete;

  struct Tables;
  detail::Core& State();

 private:
  std::unique_ptr<Tables> m_tables;
};

// Sets up the tables; does nothing when it already ran. Always kFlOk.
int flInit(FlashCore& core);
// Reserves the 8 KB window, maps physical address 0 into it and registers the controller found
// behind it. kFlAdapterNotFound when none answers or its geometry is unusable; 0 (after
// "#: VirtualAlloc() failed\r\n" on the debug output) when the window cannot be had; kFlOk
// otherwise.
int flRegisterComponents(FlashCore& core);
// The call entry. Initialises the core and registers the components itself when nobody did.
//   kFlBinaryWriteInit: takes the units for a new image of `length` bytes in the partition
//     whose anchor carries oldSign (beside the image in use when there is room, else over it),
//     erases each and gives it a header with newSign and the next generation, and starts a
//     write from the image's first byte.
//   kFlBinaryWriteBlock: writes `length` bytes of `buffer` where the last block ended, reads
//     them back through the correction and fails when they differ; the block that completes
//     the write init's length writes the complete mark, and the new image is in use.
//   kFlBinaryPartitionInfo: startingBlock := the partition's capacity in bytes (the units of the
//     run after the anchor that carries oldSign, times the unit size).
int flCall(FlashCore& core, int function, IoRequest* request);

}  // namespace flash_driver
