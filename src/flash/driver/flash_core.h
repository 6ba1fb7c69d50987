// The flash driver core: runs inside the updater once the operating system's own disk driver
// is unloaded, and writes images into the binary partitions of the flash disk. It reaches the
// chip only through the registers of its controller (flash/driver/nand_regs.h) in a window of
// the hardware layer.
//
// Inside: a socket table (one controller per socket, found behind its window), a volume table
// (the binary partitions of each socket), a media layer (page reads and programs, unit erases,
// with error correction of every page) and the binary-partition calls.
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
//   kFlBinaryWriteInit: erases the partition's units whose header carries oldSign, gives them
//     newSign and starts a write of `length` bytes from its first byte.
//   kFlBinaryWriteBlock: writes `length` bytes of `buffer` where the last block ended, reads
//     them back through the correction and fails when they differ; the block that completes
//     the write init's length marks the image complete.
//   kFlBinaryPartitionInfo: startingBlock := the partition's capacity in bytes (its units whose
//     header carries oldSign, times the unit size).
int flCall(FlashCore& core, int function, IoRequest* request);

}  // namespace flash_driver
