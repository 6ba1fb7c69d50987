// The BIN loader over any plain stream: the records must land inside the image buffer, the
// allocation must stay within program memory, and a load either fails or hands exactly one
// image to the writer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "flash/bin_loader.h"
#include "flash/flash_job.h"
#include "fuzz/fuzz_terminal.h"
#include "update/run_context.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::Terminal& terminal = fuzz_support::FuzzTerminal(true);
  static CRunContext run;
  FlashJob& job = run.m_flash;
  std::size_t at = 0;
  int writes = 0;
  const ImageIo io{[&](uint32_t count, uint8_t* destination) {
                     if (count == 0 || destination == nullptr || count > size - at) return false;
                     std::memcpy(destination, data + at, count);
                     at += count;
                     return true;
                   },
                   [&job, &writes](uint32_t, uint32_t length) {
                     ++writes;
                     // The writer may read the whole rounded length from the buffer.
                     if (length > job.imageBufferSize) std::abort();
                     return true;
                   },
                   [] {}};
  const bool loaded = LoadBINStream(job, io);
  if (loaded != (writes == 1) || writes > 1) std::abort();
  // Every run starts with the division and the heap of a fresh terminal.
  terminal.Memory().PowerOff();
  terminal.Memory().PowerOn();
  job.imageBuffer = nullptr;
  job.imageBufferSize = 0;
  return 0;
}
