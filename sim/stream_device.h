// A stream device of the terminal ("GPS1:", ...), as the file system opens it by name.
// Operations that a device does not offer fail with error 50 (not supported).
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/types.h"

namespace sim {

class Device {
 public:
  virtual ~Device() = default;
  // Called for every open of the device; false (with the last error set) refuses it.
  virtual bool Open(uint32_t /*access*/, uint32_t /*share*/) { return true; }
  virtual void Close() {}
  virtual bool Read(void* /*buffer*/, uint32_t /*count*/, uint32_t* /*read*/) {
    return NotSupported();
  }
  virtual bool Write(const void* /*buffer*/, uint32_t /*count*/, uint32_t* /*written*/) {
    return NotSupported();
  }
  virtual bool IoControl(uint32_t /*code*/, const void* /*in*/, uint32_t /*inSize*/, void* /*out*/,
                         uint32_t /*outSize*/, uint32_t* /*returned*/) {
    return NotSupported();
  }

 private:
  static bool NotSupported() {
    platform::SetLastError(platform::kErrorNotSupported);
    return false;
  }
};

// Makes a device name ("GPS1:") open the device, or (null) no longer.
using DeviceRegistration = std::function<void(std::string_view name, Device* device)>;

}  // namespace sim
