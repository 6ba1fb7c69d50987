// The acknowledgements the terminal reads from the GPS chip, from memory: the single byte after
// a frame (only 0x06 accepts it) and the boot loader's "SA\r\n", delivered in pieces as reads
// that time out split it. The first input byte chooses the pieces.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gps/frame.h"
#include "gps/serial_boot.h"
#include "gps_memory_line.h"
#include "update/run_context.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The status texts go to the debug output, which a fuzz run has none of.
  static CRunContext run;
  run.m_log.SetDebugLevel(0);
  if (size == 0) return 0;
  const uint8_t shape = data[0];
  const uint8_t* reply = data + 1;
  const std::size_t length = size - 1;

  MemoryLine frameLine(reply, length);
  gps::FrameBuffer frame;
  frame.Begin(0x0E);
  const bool accepted = frame.Send(frameLine);
  if (accepted != (length > 0 && reply[0] == gps::kAck)) std::abort();

  MemoryLine bootLine(reply, length);
  std::vector<std::size_t> chunks;
  for (std::size_t at = 0, step = 1 + shape % 5; at < length; at += step) chunks.push_back(step);
  bootLine.SetChunks(chunks);
  const bool acknowledged = WaitBootAck(run.m_gps, bootLine, 1);
  const bool expected = length >= 4 && std::memcmp(reply, "SA\r\n", 4) == 0;
  if (acknowledged != expected) std::abort();
  return 0;
}
