// The terminal's RAM: its division between the object store and program memory, and the
// program's local heap, which the division limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <nlohmann/json_fwd.hpp>

namespace sim {

class ConfigReader;

// What SetSystemMemoryDivision answers.
enum class DivisionAnswer { kChanged, kMustReboot, kRebootPending, kFailed };

struct MemoryConfig {
  uint32_t pageSize = 4096;
  // All RAM pages, store and program memory together (64 MiB).
  uint32_t totalPages = 16384;
  // The object store's share when the terminal starts (32 MiB).
  uint32_t storePages = 8192;
  // Program memory that the system's own programs and the updater's code already take.
  uint32_t programUsed = 4U << 20;
  DivisionAnswer setAnswer = DivisionAnswer::kChanged;

  bool operator==(const MemoryConfig&) const = default;
};

const char* DivisionAnswerName(DivisionAnswer answer);

// terminal.json "memory".
void ReadSection(ConfigReader& reader, MemoryConfig& config);
nlohmann::json SectionJson(const MemoryConfig& config);

// Where the heap's blocks come from: the host's allocator by default, the platform's own (the
// Win32 backend's LocalAlloc) where there is one. allocate returns null when it has no memory.
struct HeapFunctions {
  void* (*allocate)(uint32_t flags, std::size_t bytes);
  void (*release)(void* block);
};
HeapFunctions HostHeap();

class SimMemory {
 public:
  explicit SimMemory(const MemoryConfig& config, HeapFunctions heap = HostHeap())
      : m_config(config), m_heap(heap) {
    PowerOn();
  }
  ~SimMemory();
  SimMemory(const SimMemory&) = delete;
  SimMemory& operator=(const SimMemory&) = delete;

  // The terminal starts: the division is the configured one and the heap is empty.
  void PowerOn();
  // Programs end with the terminal: their heap blocks go with them.
  void PowerOff();

  bool GetDivision(uint32_t* storePages, uint32_t* ramPages, uint32_t* pageSize);
  // One of platform::MemoryDivision; only kChanged changes the division.
  uint32_t SetDivision(uint32_t storePages);

  // Null with error 8 when program memory cannot hold `bytes` more.
  void* Allocate(uint32_t flags, std::size_t bytes);
  // Releases a block of this heap; an unknown pointer is left alone (error 6).
  void* Free(void* memory);

  // Bytes that programs may still allocate.
  uint64_t ProgramFree() const;
  uint64_t Allocated() const { return m_allocated; }

 private:
  const MemoryConfig& m_config;
  HeapFunctions m_heap;
  mutable std::mutex m_mutex;
  uint32_t m_storePages = 0;
  std::map<void*, std::size_t> m_blocks;
  uint64_t m_allocated = 0;
};

}  // namespace sim
