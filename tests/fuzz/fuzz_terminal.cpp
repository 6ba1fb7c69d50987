#include "fuzz/fuzz_terminal.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace fuzz_support {

namespace {

struct Holder {
  std::filesystem::path dir;
  std::unique_ptr<sim::Terminal> terminal;
  ~Holder() {
    terminal.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
};

}  // namespace

sim::Terminal& FuzzTerminal(bool withChip) {
  static Holder holder;
  if (holder.terminal) return *holder.terminal;
  std::string pattern = (std::filesystem::temp_directory_path() / "vostrel-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  holder.dir = pattern;
  sim::TerminalConfig config;
  config.flash.present = withChip;
  config.flash.pageSize = 512;
  config.flash.spareSize = 16;
  config.flash.pagesPerUnit = 16;
  config.flash.partitions = {{"BOOT", 8}, {"KRNL", 16}};
  config.flash.diskUnits = 2;
  config.memory.totalPages = 2048;  // 8 MiB
  config.memory.storePages = 1024;
  config.memory.programUsed = 1U << 20;
  if (!sim::Terminal::Init(holder.dir / "t", config).ok()) std::abort();
  auto opened = sim::Terminal::Open(holder.dir / "t");
  if (!opened.ok()) std::abort();
  holder.terminal = std::move(*opened);
  holder.terminal->Install();
  holder.terminal->Clock().AttachMainThread(sim::kUpdaterProcess);
  return *holder.terminal;
}

}  // namespace fuzz_support
