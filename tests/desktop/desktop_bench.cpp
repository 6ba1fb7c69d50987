// Throughput of the desktop link between two real processes: a terminal on the host clock
// reads every member of a package through the channel from `vostrel desktop serve`, once per
// cache size, and the same reads go straight to the container in local mode for comparison.
// Not a test: it prints a table.
//
//   build/tests/desktop_bench [--mib N] [--cache-sizes 256K,1M,4M] [--read-size 65536]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "desktop/desktop_support.h"
#include "package/file_semaphore.h"
#include "package/file_virtual.h"
#include "support/terminal_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

uint64_t ParseSize(const std::string& text) {
  char* end = nullptr;
  uint64_t value = std::strtoull(text.c_str(), &end, 10);
  if (*end == 'K' || *end == 'k') value <<= 10;
  if (*end == 'M' || *end == 'm') value <<= 20;
  return value;
}

// Reads every member front to back; the bytes read, or 0 when a read failed.
uint64_t ReadMembers(CFileVirtual& file, const std::vector<desktop_testing::PackageMember>& members,
                     uint32_t chunk) {
  std::vector<uint8_t> buffer(chunk);
  uint64_t total = 0;
  for (const auto& member : members) {
    if (file.HHTFileOpen(member.name) == 0) return 0;
    std::string got;
    for (;;) {
      uint32_t read = 0;
      if (file.HHTFileRead(buffer.data(), chunk, &read) == 0) return 0;
      if (read == 0) break;
      got.append(reinterpret_cast<const char*>(buffer.data()), read);
    }
    file.HHTFileClose();
    if (got != member.contents) return 0;
    total += got.size();
  }
  return total;
}

double MiBPerSecond(uint64_t bytes, Clock::duration time) {
  return static_cast<double>(bytes) / (1 << 20) / std::chrono::duration<double>(time).count();
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = 32;
  std::vector<uint64_t> cacheSizes = {256 << 10, 1 << 20, 4 << 20};
  uint32_t readSize = 64 << 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::string value = argv[i + 1];
    if (option == "--mib") {
      mib = ParseSize(value);
    } else if (option == "--read-size") {
      readSize = static_cast<uint32_t>(ParseSize(value));
    } else if (option == "--cache-sizes") {
      cacheSizes.clear();
      for (std::size_t start = 0; start <= value.size();) {
        const std::size_t comma = value.find(',', start);
        cacheSizes.push_back(ParseSize(value.substr(start, comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else {
      std::fprintf(stderr, "unknown option %s\n", option.c_str());
      return 64;
    }
  }

  const uint64_t bytes = mib << 20;
  const std::vector<desktop_testing::PackageMember> members = {
      {"Vostrel.ini", "[SoftwareToUpdate]\r\nUpdate1=OS\r\n"},
      {"NK.BIN", desktop_testing::RandomBytes(bytes / 2, 1)},
      {"Apps\\Nav.cab", desktop_testing::RandomBytes(bytes / 4, 2)},
      {"GPS.BIN", desktop_testing::RandomBytes(bytes / 4, 3)},
  };
  testing_support::TempDir dir;
  const std::filesystem::path packagePath = dir.Path() / "install.bin";
  testing_support::WriteHostFile(packagePath, desktop_testing::BuildPackage(members));
  std::printf("package: %llu MiB of member data in %zu members; reads of %u bytes\n\n",
              static_cast<unsigned long long>(mib), members.size(), readSize);
  std::printf("%-22s %10s %10s %10s\n", "mode", "seconds", "MiB/s", "exchanges");

  {
    desktop_testing::RealtimeTerminal terminal(dir.Path() / "local");
    testing_support::WriteHostFile(terminal.Term().Files().HostPath("\\Storage Card\\install.bin"),
                                   testing_support::ReadHostFile(packagePath));
    Clock::duration best = Clock::duration::max();
    uint64_t read = 0;
    for (int round = 0; round < 3; ++round) {
      CFileVirtual local(0, "\\Storage Card\\install.bin");
      const Clock::time_point start = Clock::now();
      read = ReadMembers(local, members, readSize);
      best = std::min(best, Clock::now() - start);
    }
    if (read == 0) {
      std::fprintf(stderr, "local reads failed\n");
      return 1;
    }
    std::printf("%-22s %10.3f %10.1f %10s\n", "local", std::chrono::duration<double>(best).count(),
                MiBPerSecond(read, best), "-");
  }

  for (const uint64_t cacheSize : cacheSizes) {
    const std::string name = "desktop, cache " + std::to_string(cacheSize >> 10) + " KiB";
    desktop_testing::RealtimeTerminal terminal(dir.Path() /
                                               ("desktop-" + std::to_string(cacheSize)));
    desktop_testing::ServeChild serve(
        VOSTREL_BINARY,
        {"desktop", "serve", "--package", packagePath.string(), "--root", terminal.Root().string(),
         "--cache-size", std::to_string(cacheSize)},
        terminal.Root(), dir.Path() / ("serve-" + std::to_string(cacheSize) + ".txt"));
    CFileVirtual remote(1, "\\install.bin");
    // The first answer comes once the desktop has prepared the root folder.
    remote.HHTFileSize("NK.BIN");
    const Clock::time_point start = Clock::now();
    const uint64_t read = ReadMembers(remote, members, readSize);
    const Clock::duration time = Clock::now() - start;
    CFileSemaphore channel;
    CFileCommand finished;
    finished.m_bRequest = 1;
    finished.m_nCommand = kCommandFinished;
    channel.HHTProcessCommand(finished);
    const int exit = serve.Finish();
    const std::string output = serve.Output();
    std::size_t fills = 0;
    for (std::size_t at = output.find("ReadCache"); at != std::string::npos;
         at = output.find("ReadCache", at + 1)) {
      ++fills;
    }
    if (read == 0 || exit != 0) {
      std::fprintf(stderr, "%s: the reads failed (desktop exit %d)\n%s", name.c_str(), exit,
                   output.c_str());
      return 1;
    }
    std::printf("%-22s %10.3f %10.1f %10zu\n", name.c_str(),
                std::chrono::duration<double>(time).count(), MiBPerSecond(read, time), fills);
  }
  return 0;
}
