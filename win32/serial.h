// The terminal's serial ports on Win32's communications API: "COM6:" is Windows' COM6 (under
// Wine, the device that the prefix's dosdevices/com6 links to, such as a pseudo-terminal whose
// other end runs the emulated GPS chip).
#pragma once

#include "platform/serial.h"

namespace win32 {

class Win32SerialPorts final : public platform::SerialPorts {
 public:
  platform::Handle OpenSerial(std::string_view port, const platform::SerialOpenRequest& request,
                              platform::SerialConfig* inForce) override;
  bool ApplySerialSettings(platform::Handle port,
                           const platform::SerialSettings& settings) override;
  bool ReadSerial(platform::Handle port, void* buffer, uint32_t count, uint32_t* read) override;
  bool WriteSerial(platform::Handle port, const void* bytes, uint32_t count,
                   uint32_t* written) override;
  bool PurgeSerial(platform::Handle port) override;
  bool CloseSerial(platform::Handle port, const platform::SerialConfig* restore) override;
};

}  // namespace win32
