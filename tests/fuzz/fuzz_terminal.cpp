#include "fuzz/fuzz_terminal.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "sim/flash_config.h"
#include "sim/memory.h"

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
  config.Get<sim::FlashConfig>().present = withChip;
  config.Get<sim::FlashConfig>().pageSize = 512;
  config.Get<sim::FlashConfig>().spareSize = 16;
  config.Get<sim::FlashConfig>().pagesPerUnit = 16;
  config.Get<sim::FlashConfig>().partitions = {{"BOOT", 8}, {"KRNL", 16}};
  config.Get<sim::FlashConfig>().diskUnits = 2;
  config.Get<sim::MemoryConfig>().totalPages = 2048;  // 8 MiB
  config.Get<sim::MemoryConfig>().storePages = 1024;
  config.Get<sim::MemoryConfig>().programUsed = 1U << 20;
  if (!sim::Terminal::Init(holder.dir / "t", config).ok()) std::abort();
  auto opened = sim::Terminal::Open(holder.dir / "t");
  if (!opened.ok()) std::abort();
  holder.terminal = std::move(*opened);
  holder.terminal->Install();
  holder.terminal->Clock().AttachMainThread(sim::kUpdaterProcess);
  return *holder.terminal;
}

}  // namespace fuzz_support
