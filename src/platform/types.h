// Basic types of the platform boundary: handles, Windows error codes, the last-error slot.
#pragma once

#include <cstdint>

namespace platform {

// An opaque handle of the platform. Which of the two failure values a call returns follows
// Windows: file and snapshot calls return kInvalidHandle, the others kNullHandle.
using Handle = std::uintptr_t;
inline constexpr Handle kNullHandle = 0;
inline constexpr Handle kInvalidHandle = static_cast<Handle>(-1);

inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

// Windows error codes that the updater reports or branches on.
enum ErrorCode : uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorNoMoreFiles = 18,
  kErrorWriteFault = 29,
  kErrorReadFault = 30,
  kErrorGenFailure = 31,
  kErrorSharingViolation = 32,
  kErrorHandleEof = 38,
  kErrorNotSupported = 50,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorInsufficientBuffer = 122,
  kErrorInvalidName = 123,
  kErrorDirNotEmpty = 145,
  kErrorAlreadyExists = 183,
  kErrorNoData = 232,
  kErrorTimeout = 1460,
};

// The calling thread's last error, as GetLastError/SetLastError keep it.
uint32_t GetLastError();
void SetLastError(uint32_t error);

}  // namespace platform
