// A part of the simulated terminal: a device or a program of the terminal's own (the resident
// shell, the GPS driver, the flash media, ...). A part is given, when it is made, only the
// services it uses, registers there what it answers (devices, I/O controls, programs, event
// listeners), and hears when the terminal powers on and off.
#pragma once

#include <ostream>

namespace sim {

class TerminalPart {
 public:
  virtual ~TerminalPart() = default;
  // The terminal has started: at its first opening and after every reboot.
  virtual void PowerOn() {}
  // The terminal is going down: every process has ended.
  virtual void PowerOff() {}
  // True for a program of the terminal's own, which runs only once the kernel has started; a
  // device (false) powers on whatever the flash holds.
  virtual bool NeedsOperatingSystem() const { return false; }
  // A few lines of what the part holds now, for "vostrel sim show"; nothing by default.
  virtual void Describe(std::ostream& /*out*/) {}
};

}  // namespace sim
