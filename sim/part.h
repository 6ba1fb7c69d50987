// A part of the simulated terminal: a device or a program of the terminal's own (the resident
// shell, the GPS driver, the flash media, ...). A part is given, when it is made, only the
// services it uses, registers there what it answers (devices, I/O controls, programs, event
// listeners), and hears when the terminal powers on and off. The kinds of parts a terminal is
// made of are listed in sim/part_kinds.h.
#pragma once

#include <memory>
#include <ostream>
#include <vector>

#include "sim/result.h"

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
  // Fails, naming the file, when a file the part keeps in the terminal's folder cannot be used;
  // the terminal then does not open. Asked before the first power-on.
  virtual Status CheckFiles() const { return {}; }
  // A few lines of what the part holds now, for "vostrel sim show"; nothing by default.
  virtual void Describe(std::ostream& /*out*/) {}
};

// The parts of a terminal in the order they were made, found by what they are.
class PartList {
 public:
  void Add(std::unique_ptr<TerminalPart> part) { m_parts.push_back(std::move(part)); }
  void Clear() { m_parts.clear(); }

  // The part that is a Part (a class or an interface it implements), or null when none is.
  template <typename Part>
  Part* Find() const {
    for (const auto& part : m_parts) {
      if (auto* found = dynamic_cast<Part*>(part.get())) return found;
    }
    return nullptr;
  }

  auto begin() const { return m_parts.begin(); }
  auto end() const { return m_parts.end(); }
  auto rbegin() const { return m_parts.rbegin(); }
  auto rend() const { return m_parts.rend(); }

 private:
  std::vector<std::unique_ptr<TerminalPart>> m_parts;
};

}  // namespace sim
