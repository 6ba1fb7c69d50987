// Kernel services of the terminal: named events, threads, processes, the clock, the
// program's own path and the kernel debug output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace platform {

// Local time as the terminal's clock gives it.
struct LocalTime {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;    // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;
  bool operator==(const LocalTime&) const = default;
};

// One process of a process snapshot.
struct ProcessEntry {
  uint32_t processId = 0;
  std::string exeFile;  // the executable's file name, as the snapshot reports it
};

inline constexpr uint32_t kProcessTerminate = 0x0001;
inline constexpr uint32_t kSynchronize = 0x00100000;

inline constexpr int kThreadPriorityAboveNormal = 2;

// LocalAlloc flags: fixed memory, zero-initialised.
inline constexpr uint32_t kLmemFixed = 0x0;
inline constexpr uint32_t kLmemZeroInit = 0x40;
inline constexpr uint32_t kLptr = kLmemZeroInit;

class Kernel {
 public:
  virtual ~Kernel() = default;

  // Creates or opens a named event; kNullHandle on failure.
  virtual Handle CreateEvent(std::string_view name, bool manualReset, bool initialState) = 0;
  virtual bool SetEvent(Handle event) = 0;
  // Closes an event, thread or process handle.
  virtual bool CloseHandle(Handle handle) = 0;

  // Starts a thread running body; kNullHandle on failure. The thread's result is body's.
  virtual Handle CreateThread(std::function<uint32_t()> body) = 0;
  virtual bool SetThreadPriority(Handle thread, int priority) = 0;

  // A snapshot of the running processes; kInvalidHandle on failure. The first entry is the
  // kernel's own process.
  virtual Handle CreateProcessSnapshot() = 0;
  // The entries of a snapshot, one per call from index 0; false past the last (error 18).
  virtual bool ProcessAt(Handle snapshot, uint32_t index, ProcessEntry* entry) = 0;
  virtual bool CloseSnapshot(Handle snapshot) = 0;
  // kNullHandle on failure.
  virtual Handle OpenProcess(uint32_t access, uint32_t processId) = 0;
  virtual bool TerminateProcess(Handle process, uint32_t exitCode) = 0;
  // Starts a program; false (error 2) when the program file does not exist.
  virtual bool CreateProcess(std::string_view program, std::string_view commandLine) = 0;

  // Milliseconds since the terminal started; wraps at 2^32.
  virtual uint32_t GetTickCount() = 0;
  virtual LocalTime GetLocalTime() = 0;
  // Suspends the calling thread.
  virtual void Sleep(uint32_t milliseconds) = 0;

  // Local heap memory of the program. LocalAlloc returns null (error 8) when program memory,
  // which the memory division limits, cannot hold `bytes` more; with kLmemZeroInit the block
  // is zero-filled. LocalFree releases a block (null is allowed) and returns null.
  virtual void* LocalAlloc(uint32_t flags, std::size_t bytes) = 0;
  virtual void* LocalFree(void* memory) = 0;

  // The full terminal path of the running program's executable.
  virtual std::string GetModuleFileName() = 0;

  // The kernel debug output; each call is one write.
  virtual void DebugOutput(std::string_view text) = 0;
};

}  // namespace platform
