// The kinds of parts a simulated terminal is made of, one row each: the part, what a fresh
// terminal folder holds for it, and how it is made from the terminal's core services and its
// section of terminal.json. A new part is its own files, one row here, and its section's row in
// sim/config.cpp when it has one.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <span>

#include "sim/config_section.h"
#include "sim/events.h"
#include "sim/file_system.h"
#include "sim/gui.h"
#include "sim/hal.h"
#include "sim/observations.h"
#include "sim/part.h"
#include "sim/processes.h"
#include "sim/registry.h"
#include "sim/result.h"
#include "sim/scheduler.h"
#include "sim/serial_line.h"
#include "sim/write_steps.h"

namespace sim {

// What a part may be made with: the terminal's core services, its configuration and its other
// parts. A part takes only what it uses.
struct PartServices {
  const std::filesystem::path& dir;
  const ConfigSections& config;
  Scheduler& clock;
  SimFileSystem& files;
  SimRegistry& registry;
  ProcessTable& processes;
  SimGui& gui;
  SimHal& hal;
  SimSerialPorts& serial;
  EventBus& events;
  Observations& seen;
  WriteSteps& steps;
  // The terminal's power goes.
  std::function<void()> cutPower;
  // The parts of the rows above, made before this one.
  const PartList& made;
};

struct PartKind {
  // What the part is, for the reader of the table.
  const char* name = nullptr;
  // Lays out what a fresh terminal folder holds for the part (files below the folder, registry
  // values); none when it needs nothing.
  Status (*prepare)(const std::filesystem::path& dir, const ConfigSections& config,
                    SimRegistry& registry) = nullptr;
  std::unique_ptr<TerminalPart> (*make)(const PartServices& services) = nullptr;
};

// In the order the parts are made; devices power on in this order and off in reverse.
std::span<const PartKind> PartKinds();

}  // namespace sim
