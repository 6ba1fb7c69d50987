// Parses the reply to the flash engine's open command (the flash descriptor) from memory: the
// parser must refuse more than 6 regions and names without a terminator in their 64 bytes, and
// accept only a reply whose fields take exactly its bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "gps/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > gps::kFrameBufferSize) return 0;
  gps::FrameBuffer frame;
  frame.Load(data, static_cast<uint32_t>(size));
  gps::OpenReply reply;
  if (!gps::ParseOpenReply(frame, &reply)) return 0;
  const gps::FlashDescriptor& d = reply.descriptor;
  if (d.regionCount > gps::FlashDescriptor::kMaxRegions) std::abort();
  const std::size_t part = strnlen(d.partName, sizeof d.partName);
  const std::size_t maker = strnlen(d.manufacturerName, sizeof d.manufacturerName);
  if (part >= sizeof d.partName || maker >= sizeof d.manufacturerName) std::abort();
  // Status, two values, two texts with terminators, IDs, capacity, count, regions, attributes.
  const std::size_t expected = 12 + part + 1 + maker + 1 + 8 + 1 + 8 * d.regionCount + 3;
  if (expected != size) std::abort();
  return 0;
}
