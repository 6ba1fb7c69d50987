// The registry (HKEY_LOCAL_MACHINE). Calls return a Windows error code, 0 for success, as the
// registry functions do.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace platform {

inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;

class Registry {
 public:
  virtual ~Registry() = default;

  // Opens a key under HKEY_LOCAL_MACHINE, creating it (and its parents) when missing.
  virtual uint32_t CreateKey(std::string_view subKey, Handle* key) = 0;
  // Opens an existing key: 2 when it does not exist.
  virtual uint32_t OpenKey(std::string_view subKey, Handle* key) = 0;
  // Reads a value. String values come as UTF-16LE with their terminator. *size holds the
  // buffer size and receives the value's size; 234 (more data) when the buffer is too small,
  // 2 when the value does not exist. A null data pointer only asks for type and size.
  virtual uint32_t QueryValue(Handle key, std::string_view name, uint32_t* type, void* data,
                              uint32_t* size) = 0;
  virtual uint32_t SetValue(Handle key, std::string_view name, uint32_t type, const void* data,
                            uint32_t size) = 0;
  // Deletes a value of an open key: 2 when it does not exist.
  virtual uint32_t DeleteValue(Handle key, std::string_view name) = 0;
  // The name of the index-th subkey: 259 (no more items) past the last.
  virtual uint32_t EnumKey(Handle key, uint32_t index, std::string* name) = 0;
  virtual uint32_t CloseKey(Handle key) = 0;
  // Writes HKEY_LOCAL_MACHINE to persistent storage.
  virtual uint32_t Flush() = 0;
};

}  // namespace platform
