// Reads the GPS chip's replies from memory as the flash-engine link does, frame after frame, and
// parses each as every reply the terminal knows: whatever the bytes, the reader must stay in its
// 1288-byte buffer, accept only frames whose bytes add up to 0, answer each whole frame with
// exactly one byte, and the parsers must stay inside the payload.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "gps/frame.h"
#include "gps_memory_line.h"

namespace {

// Parses the payload as one reply layout: numbers of the given widths after the code.
bool ParsesAs(const gps::FrameBuffer& received, std::initializer_list<int> widths) {
  gps::FrameBuffer frame;
  frame.Load(received.Bytes(), received.PayloadLength());
  frame.GetU8();
  for (const int width : widths) {
    if (width == 1) frame.GetU8();
    if (width == 2) frame.GetU16();
    if (width == 4) frame.GetU32();
  }
  return frame.Complete();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryLine line(data, size);
  gps::FrameBuffer frame;
  std::size_t answers = 0;
  for (;;) {
    const std::size_t before = line.Consumed();
    const bool received = frame.Receive(line);
    const std::size_t consumed = line.Consumed() - before;
    if (!received) {
      // A frame that would not fit is refused unread; a short one is not answered.
      if (consumed > gps::kFrameBufferSize) std::abort();
      answers = line.Written().size();
      break;
    }
    if (++answers != line.Written().size() || line.Written().back() != gps::kAck) std::abort();
    const uint32_t length = frame.PayloadLength();
    if (length + gps::kFrameOverhead != consumed || consumed > gps::kFrameBufferSize) std::abort();
    uint8_t sum = 0;
    for (std::size_t i = 0; i < consumed; ++i) sum = static_cast<uint8_t>(sum + data[before + i]);
    if (sum != 0) std::abort();

    const bool byte = ParsesAs(frame, {1});
    const bool word = ParsesAs(frame, {2});
    const bool status = ParsesAs(frame, {4});
    const bool sector = ParsesAs(frame, {4, 4, 4});
    const bool crc = ParsesAs(frame, {4, 2});
    // Fixed layouts of different lengths: a payload fits at most one of them.
    if (byte + word + status + sector + crc > 1) std::abort();

    gps::FrameBuffer open;
    open.Load(frame.Bytes(), length);
    open.GetU8();
    gps::OpenReply reply;
    if (gps::ParseOpenReply(open, &reply) &&
        reply.descriptor.regionCount > gps::FlashDescriptor::kMaxRegions) {
      std::abort();
    }
  }
  (void)answers;
  return 0;
}
