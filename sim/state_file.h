// The files in which the simulated terminal keeps its state between runs (its registry, the GPS
// chip's flash, terminal.json): replaced whole or not at all.
#pragma once

#include <filesystem>
#include <string_view>

#include "sim/result.h"

namespace sim {

// Writes the bytes beside the file, flushes them to the disk and renames them over it, so that
// a full disk or a power cut leaves the old file whole. Fails with "FILE: cannot be written
// (reason)"; the file is then as it was.
Status ReplaceFile(const std::filesystem::path& file, std::string_view bytes);

}  // namespace sim
