#include "sim/memory.h"

#include <cstdlib>

#include "platform/hal.h"
#include "platform/kernel.h"
#include "platform/types.h"
#include "sim/config_section.h"

namespace sim {

namespace {

constexpr NamedValue<DivisionAnswer> kAnswers[] = {
    {DivisionAnswer::kChanged, "changed"},
    {DivisionAnswer::kMustReboot, "must_reboot"},
    {DivisionAnswer::kRebootPending, "reboot_pending"},
    {DivisionAnswer::kFailed, "failed"}};

}  // namespace

const char* DivisionAnswerName(DivisionAnswer answer) { return NameIn(kAnswers, answer); }

void ReadSection(ConfigReader& reader, MemoryConfig& config) {
  reader.ReadNumber("page_size", config.pageSize, 512, 65536);
  reader.ReadNumber("total_pages", config.totalPages, 1, 0x100000);
  reader.ReadNumber("store_pages", config.storePages, 0, 0x100000);
  if (config.storePages >= config.totalPages) {
    reader.Fail("store_pages", "expected fewer pages than total_pages");
  }
  reader.ReadNumber("program_used", config.programUsed, 0, 0xFFFFFFFFU);
  reader.ReadName("set_answer", config.setAnswer, kAnswers);
}

nlohmann::json SectionJson(const MemoryConfig& config) {
  return {{"page_size", config.pageSize},
          {"total_pages", config.totalPages},
          {"store_pages", config.storePages},
          {"program_used", config.programUsed},
          {"set_answer", DivisionAnswerName(config.setAnswer)}};
}

HeapFunctions HostHeap() {
  return {[](uint32_t flags, std::size_t bytes) {
            return (flags & platform::kLmemZeroInit) != 0 ? std::calloc(1, bytes)
                                                          : std::malloc(bytes);
          },
          [](void* block) { std::free(block); }};
}

SimMemory::~SimMemory() { PowerOff(); }

void SimMemory::PowerOn() {
  std::lock_guard lock(m_mutex);
  m_storePages = m_config.storePages;
}

void SimMemory::PowerOff() {
  std::lock_guard lock(m_mutex);
  for (const auto& [block, size] : m_blocks) m_heap.release(block);
  m_blocks.clear();
  m_allocated = 0;
}

bool SimMemory::GetDivision(uint32_t* storePages, uint32_t* ramPages, uint32_t* pageSize) {
  std::lock_guard lock(m_mutex);
  if (storePages != nullptr) *storePages = m_storePages;
  if (ramPages != nullptr) *ramPages = m_config.totalPages - m_storePages;
  if (pageSize != nullptr) *pageSize = m_config.pageSize;
  return true;
}

uint32_t SimMemory::SetDivision(uint32_t storePages) {
  std::lock_guard lock(m_mutex);
  switch (m_config.setAnswer) {
    case DivisionAnswer::kChanged:
      break;
    case DivisionAnswer::kMustReboot:
      return platform::kDivisionMustReboot;
    case DivisionAnswer::kRebootPending:
      return platform::kDivisionRebootPending;
    case DivisionAnswer::kFailed:
      platform::SetLastError(platform::kErrorGenFailure);
      return platform::kDivisionFailed;
  }
  if (storePages >= m_config.totalPages) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return platform::kDivisionFailed;
  }
  m_storePages = storePages;
  return platform::kDivisionChanged;
}

uint64_t SimMemory::ProgramFree() const {
  const uint64_t ram =
      static_cast<uint64_t>(m_config.totalPages - m_storePages) * m_config.pageSize;
  const uint64_t used = m_config.programUsed + m_allocated;
  return used >= ram ? 0 : ram - used;
}

void* SimMemory::Allocate(uint32_t flags, std::size_t bytes) {
  std::lock_guard lock(m_mutex);
  if (bytes > ProgramFree()) {
    platform::SetLastError(platform::kErrorNotEnoughMemory);
    return nullptr;
  }
  // A block of 0 bytes is still a distinct block, as on the terminal.
  const std::size_t size = bytes == 0 ? 1 : bytes;
  void* block = m_heap.allocate(flags, size);
  if (block == nullptr) {
    platform::SetLastError(platform::kErrorNotEnoughMemory);
    return nullptr;
  }
  m_blocks.emplace(block, bytes);
  m_allocated += bytes;
  return block;
}

void* SimMemory::Free(void* memory) {
  if (memory == nullptr) return nullptr;
  std::lock_guard lock(m_mutex);
  const auto it = m_blocks.find(memory);
  if (it == m_blocks.end()) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return memory;
  }
  m_allocated -= it->second;
  m_blocks.erase(it);
  m_heap.release(memory);
  return nullptr;
}

}  // namespace sim
