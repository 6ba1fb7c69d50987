// vostrel desktop: the desktop computer's side of the file-semaphore channel, in real time
// against a folder of the host that stands for the terminal's root folder.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "sim/config.h"
#include "sim/desktop_peer.h"
#include "tools/commands.h"

namespace tools {

namespace {

constexpr int kExitFailed = 1;

std::atomic<bool> g_interrupted{false};
volatile sig_atomic_t g_signal = 0;

void OnSignal(int signal) {
  g_signal = signal;
  g_interrupted = true;
}

int DesktopError(const std::string& message, int code) {
  std::fprintf(stderr, "vostrel desktop: %s\n", message.c_str());
  return code;
}

struct ServeArgs {
  std::string package;
  std::string root;
  uint64_t cacheSize = sim::DesktopConfig{}.cacheSize;
  std::optional<uint32_t> stopAfter;
  uint32_t abortAfterMs = sim::DesktopConfig{}.abortAfterMs;
  uint64_t fillShortBy = 0;
  std::optional<uint64_t> fillSize;
  std::optional<uint32_t> emptyResponseAt;
  uint32_t holdFlagMs = 0;
  std::optional<uint32_t> lookingNoAt;
  bool allowBadChecksum = false;
};

int RunServe(const ServeArgs& args) {
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  if (args.cacheSize == 0 || args.cacheSize > kMax) {
    return DesktopError("--cache-size: expected 1 to 4294967295 bytes", kExitUsage);
  }
  if (args.fillShortBy > kMax)
    return DesktopError("--fill-short-by: at most 4294967295", kExitUsage);
  if (args.fillSize && *args.fillSize > kMax) {
    return DesktopError("--fill-size: at most 4294967295", kExitUsage);
  }
  sim::DesktopConfig config;
  config.cacheSize = static_cast<uint32_t>(args.cacheSize);
  config.stopAfter = args.stopAfter;
  config.abortAfterMs = args.abortAfterMs;
  config.fillShortBy = static_cast<uint32_t>(args.fillShortBy);
  if (args.fillSize) config.fillSize = static_cast<uint32_t>(*args.fillSize);
  config.emptyResponseAt = args.emptyResponseAt;
  config.holdFlagMs = args.holdFlagMs;
  config.lookingNoAt = args.lookingNoAt;
  config.allowBadChecksum = args.allowBadChecksum;

  // Serving writes install.bin and Vostrel.ini into the root: a package kept there, or the
  // settings it was built from, would be overwritten.
  std::error_code ignored;
  const std::filesystem::path packageFolder =
      std::filesystem::absolute(args.package, ignored).parent_path();
  if (std::filesystem::equivalent(packageFolder, args.root, ignored)) {
    return DesktopError(args.package + ": lies in the terminal's root folder " + args.root +
                            ", where serving writes install.bin and Vostrel.ini over what is "
                            "there; keep the package in another folder",
                        kExitFailed);
  }

  auto peer = sim::DesktopPeer::Open(args.package, config);
  if (!peer) return DesktopError(peer.error(), kExitFailed);
  sim::HostFolder folder(args.root);
  sim::HostClock clock;
  (*peer)->SetLogSink([](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  });
  std::printf("Serving %s to the terminal root %s (cache fills of %u bytes); Ctrl-C ends.\n",
              args.package.c_str(), args.root.c_str(), config.cacheSize);
  std::fflush(stdout);
  if (sim::Status prepared = (*peer)->Prepare(folder, clock); !prepared) {
    return DesktopError(prepared.error(), kExitFailed);
  }

  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const sim::DesktopPeer::End end = (*peer)->Serve(folder, clock, &g_interrupted);
  switch (end) {
    case sim::DesktopPeer::End::kFinished:
      std::printf("The terminal finished its run after %u exchanges.\n", (*peer)->Exchanges());
      return 0;
    case sim::DesktopPeer::End::kStopped:
      std::printf("Stopped answering after %u exchanges, as asked.\n", (*peer)->Exchanges());
      return 0;
    case sim::DesktopPeer::End::kInterrupted:
      std::printf("Interrupted after %u exchanges.\n", (*peer)->Exchanges());
      return 128 + g_signal;
    case sim::DesktopPeer::End::kFailed:
      break;
  }
  return DesktopError((*peer)->Error(), kExitFailed);
}

int RunAbort(const std::string& root) {
  sim::HostFolder folder(root);
  if (sim::Status written = folder.Write("abort.me", {}); !written) {
    return DesktopError(written.error(), kExitFailed);
  }
  std::printf(
      "Left abort.me in %s: every wait of the terminal fails until the updater deletes "
      "the marker at its next start or end of run.\n",
      root.c_str());
  return 0;
}

}  // namespace

void AddDesktopCommands(CLI::App& app, int* exitCode) {
  CLI::App* desktop = app.add_subcommand(
      "desktop",
      "The desktop computer's side of the file-semaphore channel, for a terminal whose root "
      "folder is a folder of this host (a simulated terminal's DIR/fs, for example)");
  desktop->require_subcommand(1);

  auto* serve = desktop->add_subcommand(
      "serve",
      "Serve an update package to a terminal in desktop mode, in real time: put the package's "
      "header part as install.bin and its Vostrel.ini into the root folder, then answer every "
      "request (member sizes, phase totals, cache fills into cache.bin) until the terminal "
      "sends Finished. Each exchange is printed. Exit 0 when the terminal finished (or the "
      "faults stopped the serving), 1 when the package or a file fails, 64 for a bad command "
      "line, 128+N on signal N.");
  auto args = std::make_shared<ServeArgs>();
  serve->add_option("--package", args->package, "The update package (install.bin) to serve")
      ->required()
      ->check(CLI::ExistingFile);
  serve->add_option("--root", args->root, "The terminal's root folder (\"\\\") on this host")
      ->required()
      ->check(CLI::ExistingDirectory);
  const CLI::AsSizeValue sizes(false);
  serve
      ->add_option("--cache-size", args->cacheSize,
                   "Bytes copied into cache.bin per request, less at the package's end; "
                   "suffixes K and M count 1024 and 1048576 (default 1M)")
      ->transform(sizes);
  serve->add_option("--stop-after", args->stopAfter,
                    "Fault: answer N exchanges, then no more (see --abort-after-ms)");
  serve->add_option("--abort-after-ms", args->abortAfterMs,
                    "With --stop-after: leave abort.me this many milliseconds after the last "
                    "answer and end, as a user cancelling on the desktop would; 0 ends at once "
                    "without it (default 60000)");
  serve
      ->add_option("--fill-short-by", args->fillShortBy,
                   "Fault: put this many bytes fewer into every cache fill")
      ->transform(sizes);
  serve
      ->add_option("--fill-size", args->fillSize,
                   "Fault: put at most this many bytes into every cache fill")
      ->transform(sizes);
  serve->add_option("--empty-response-at", args->emptyResponseAt,
                    "Fault: answer exchange N (counted from 1) with a response file of 0 bytes");
  serve->add_option("--hold-flag-ms", args->holdFlagMs,
                    "Fault: keep every response flag file from being deleted this many "
                    "milliseconds (its write permission is taken away meanwhile, which a "
                    "simulated terminal treats as read-only)");
  serve->add_option("--looking-no-at", args->lookingNoAt,
                    "Fault: do not answer exchange N; take the request and leave looking.no, "
                    "which ends the terminal's wait once");
  serve->add_flag("--allow-bad-checksum", args->allowBadChecksum,
                  "Fault: serve a package whose checksum fails, which is otherwise refused (the "
                  "terminal does not check it in desktop mode)");
  serve->callback([exitCode, args] { *exitCode = RunServe(*args); });
  AddServeSignatureCheck(*serve, exitCode);

  auto* abort = desktop->add_subcommand(
      "abort",
      "Leave abort.me in the terminal's root folder: the terminal's current and every later "
      "wait for the desktop fails until the updater deletes the marker");
  auto root = std::make_shared<std::string>();
  abort->add_option("--root", *root, "The terminal's root folder (\"\\\") on this host")
      ->required()
      ->check(CLI::ExistingDirectory);
  abort->callback([exitCode, root] { *exitCode = RunAbort(*root); });
}

}  // namespace tools
