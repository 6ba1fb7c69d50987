// The flash driver core against a controller that answers every register read with the next
// input byte: whatever it claims (its identity, geometry, status, page contents), the core
// must stay inside its buffers and the caller's, and every call must end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flash/driver/flash_core.h"
#include "flash/driver/nand_regs.h"
#include "fuzz/fuzz_terminal.h"
#include "sim/hal.h"

namespace {

class Replies final : public sim::PhysicalDevice {
 public:
  void Reset(const uint8_t* data, std::size_t size) {
    m_data = data;
    m_size = size;
    m_at = 0;
  }
  uint8_t ReadRegister(uint32_t) override {
    // Past the input the controller is ready and reads as an empty bus.
    return m_at < m_size ? m_data[m_at++] : 0xFF;
  }
  void WriteRegister(uint32_t, uint8_t) override {}

 private:
  const uint8_t* m_data = nullptr;
  std::size_t m_size = 0;
  std::size_t m_at = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::Terminal& terminal = fuzz_support::FuzzTerminal(false);
  static Replies replies;
  replies.Reset(data, size);
  terminal.Hal().AttachPhysical(flash_driver::kWindowPhysicalAddress, flash_driver::kWindowSize,
                                &replies);
  {
    // A core of its own per input, as each run of the updater has.
    flash_driver::FlashCore core;
    flash_driver::flInit(core);
    flash_driver::flRegisterComponents(core);

    std::vector<uint8_t> block(65536, 0x5A);
    flash_driver::BinaryPartitionRequest bp;
    std::memcpy(bp.oldSign, "KRNL", 4);
    std::memcpy(bp.newSign, "KRNL", 4);
    bp.signOffset = 8;
    flash_driver::IoRequest request{1 << 4, &bp};
    flash_driver::flCall(core, flash_driver::kFlBinaryPartitionInfo, &request);
    bp.startingBlock = 0;
    bp.length = 2 * 65536;
    bp.buffer = block.data();
    flash_driver::flCall(core, flash_driver::kFlBinaryWriteInit, &request);
    for (int i = 0; i < 3; ++i) {
      bp.length = 65536;
      bp.startingBlock = static_cast<uint32_t>(i + 1);
      flash_driver::flCall(core, flash_driver::kFlBinaryWriteBlock, &request);
    }
  }
  terminal.Hal().AttachPhysical(flash_driver::kWindowPhysicalAddress, 0, nullptr);
  return 0;
}
