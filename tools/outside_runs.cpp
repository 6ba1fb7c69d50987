// Commands for a terminal folder that a program outside the simulator updates (the Win32 build
// under Wine):
//
// vostrel sim gps serve: the terminal's GPS chip on a real serial line. The emulated chip (the
// simulator's, with the terminal folder's flash) runs in real time on the master side of a
// pseudo-terminal; the slave side, linked from --link, is the terminal's port "COM6:" for the
// program (under Wine, the prefix's dosdevices/com6 links there). The chip sees the rate that the
// program set on its side, so both ends must agree on it for bytes to arrive intact, as on the
// wire.
//
// vostrel sim demo-init, sim demo-check: the demo's terminal as it is before the update, and
// the check of what the update left on it, as "vostrel demo" makes and checks its own.
//
// vostrel sim compare-screens: a picture of the screen that another program took, compared with
// the simulator's picture of the same screen.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "sim/display.h"
#include "sim/gps_chip.h"
#include "sim/gps_driver.h"
#include "sim/terminal.h"
#include "tools/commands.h"
#include "tools/demo_check.h"
#include "tools/demo_package.h"

namespace tools {

namespace {

std::atomic<bool> g_stopServing{false};

void StopServing(int /*signal*/) { g_stopServing = true; }

struct GpsServeArgs {
  std::string dir;
  std::string link;
  uint32_t speed = 1;
  bool trace = false;
};

// One line per stretch of bytes on the line: who sent it, at which rate, and its first bytes.
void TraceBytes(const char* from, uint32_t baud, const uint8_t* bytes, std::size_t count) {
  std::fprintf(stderr, "%s %zu bytes at %u baud:", from, count, baud);
  for (std::size_t i = 0; i < count && i < 16; ++i) std::fprintf(stderr, " %02X", bytes[i]);
  std::fprintf(stderr, "%s\n", count > 16 ? " ..." : "");
}

int OutsideRunError(const std::string& message) {
  std::fprintf(stderr, "vostrel: %s\n", message.c_str());
  return kExitUsage;
}

// The rates that a terminal line's settings express.
constexpr struct {
  speed_t speed;
  uint32_t baud;
} kLineRates[] = {{B4800, 4800},     {B9600, 9600},     {B19200, 19200},
                  {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
                  {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};

// The rate of a terminal line's setting, or 0 for another.
uint32_t BaudOf(speed_t speed) {
  for (const auto& rate : kLineRates) {
    if (rate.speed == speed) return rate.baud;
  }
  return 0;
}

bool Expressible(uint32_t baud) {
  for (const auto& rate : kLineRates) {
    if (rate.baud == baud) return true;
  }
  return false;
}

// The pseudo-terminal's two ends: the master, and the slave held open so that the line's
// settings stay while the program on the other side closes and opens it.
struct ServedPty {
  int master = -1;
  int slave = -1;
  std::string name;
  ~ServedPty() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
};

bool OpenPty(ServedPty* pty, std::string* why) {
  pty->master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (pty->master < 0 || ::grantpt(pty->master) != 0 || ::unlockpt(pty->master) != 0) {
    *why = "no pseudo-terminal can be opened";
    return false;
  }
  pty->name = ::ptsname(pty->master);
  pty->slave = ::open(pty->name.c_str(), O_RDWR | O_NOCTTY);
  termios settings{};
  if (pty->slave < 0 || ::tcgetattr(pty->slave, &settings) != 0) {
    *why = pty->name + ": cannot be opened";
    return false;
  }
  // Bytes pass as they are: no echo, no line editing, no translation.
  ::cfmakeraw(&settings);
  ::cfsetspeed(&settings, B38400);
  ::tcsetattr(pty->slave, TCSANOW, &settings);
  ::fcntl(pty->master, F_SETFL, ::fcntl(pty->master, F_GETFL) | O_NONBLOCK);
  return true;
}

int RunGpsServe(const GpsServeArgs& args) {
  auto opened = sim::Terminal::Open(args.dir, sim::ClockMode::kRealtime);
  if (!opened) return OutsideRunError(opened.error());
  sim::Terminal& terminal = **opened;
  if (args.speed > 1) terminal.Clock().SetSpeed(args.speed);
  ServedPty pty;
  std::string why;
  if (!OpenPty(&pty, &why)) return OutsideRunError(why);
  std::error_code error;
  std::filesystem::remove(args.link, error);
  std::filesystem::create_symlink(pty.name, args.link, error);
  if (error) return OutsideRunError(args.link + ": " + error.message());

  std::signal(SIGTERM, StopServing);
  std::signal(SIGINT, StopServing);
  sim::Scheduler& clock = terminal.Clock();
  clock.AttachMainThread(sim::kUpdaterProcess);
  // The program's side of the line is this process's port, opened while the chip is handed
  // over; from then on the chip follows the driver's line (the driver's mode in DIR/gps).
  const std::filesystem::path gpsDir = std::filesystem::path(args.dir) / "gps";
  terminal.Find<sim::GpsChip>()->HandOver();
  platform::SerialOpenRequest request;
  request.derive = [](const platform::SerialConfig& inForce) {
    platform::SerialConfig config = inForce;
    config.settings.baudRate = 38400;
    // A read returns at once with what has arrived.
    config.timeouts = {platform::kMaxTimeout, 0, 0, 0, 0};
    return config;
  };
  platform::SerialConfig inForce;
  const platform::Handle port = terminal.Serial().OpenSerial("COM6:", request, &inForce);
  if (port == platform::kInvalidHandle) {
    return OutsideRunError("the chip's line cannot be opened (error " +
                           std::to_string(platform::GetLastError()) + ")");
  }
  std::printf("vostrel: the GPS chip of %s serves on %s (linked from %s)\n", args.dir.c_str(),
              pty.name.c_str(), args.link.c_str());
  std::fflush(stdout);

  terminal.Find<sim::GpsChip>()->TakeBack();
  std::string mode = sim::kChipModeRunning;
  sim::WriteChipMode(gpsDir, sim::kDriverModeFile, mode);
  sim::WriteChipMode(gpsDir, sim::kChipModeFile, mode);
  platform::SerialSettings settings = inForce.settings;
  settings.baudRate = 38400;
  uint8_t buffer[4096];
  auto lastLook = std::chrono::steady_clock::now();
  while (!g_stopServing) {
    // The driver's line, looked at every few milliseconds.
    const auto now = std::chrono::steady_clock::now();
    const std::string wanted = now - lastLook < std::chrono::milliseconds(5)
                                   ? mode
                                   : sim::ReadChipMode(gpsDir, sim::kDriverModeFile);
    if (now - lastLook >= std::chrono::milliseconds(5)) lastLook = now;
    if (!wanted.empty() && wanted != mode) {
      if (wanted == sim::kChipModeHandedOver) {
        terminal.Find<sim::GpsChip>()->HandOver();
      } else {
        terminal.Find<sim::GpsChip>()->TakeBack();
      }
      mode = wanted;
      sim::WriteChipMode(gpsDir, sim::kChipModeFile, mode);
      if (args.trace) std::fprintf(stderr, "the driver: %s\n", mode.c_str());
    }
    // The program's side sets the line's rate; a rate that a terminal line cannot express
    // (Wine leaves such a line at its old rate) is taken to be the chip's.
    termios line{};
    uint32_t baud = ::tcgetattr(pty.master, &line) == 0 ? BaudOf(::cfgetospeed(&line)) : 0;
    if (!Expressible(terminal.Find<sim::GpsChip>()->LineRate()))
      baud = terminal.Find<sim::GpsChip>()->LineRate();
    if (baud != 0 && baud != settings.baudRate) {
      settings.baudRate = baud;
      terminal.Serial().ApplySerialSettings(port, settings);
    }
    const ssize_t got = ::read(pty.master, buffer, sizeof buffer);
    if (got > 0) {
      if (args.trace)
        TraceBytes("terminal", settings.baudRate, buffer, static_cast<std::size_t>(got));
      uint32_t written = 0;
      terminal.Serial().WriteSerial(port, buffer, static_cast<uint32_t>(got), &written);
    }
    uint32_t read = 0;
    if (terminal.Serial().ReadSerial(port, buffer, sizeof buffer, &read) && read > 0) {
      if (args.trace) TraceBytes("chip", settings.baudRate, buffer, read);
      for (uint32_t done = 0; done < read;) {
        const ssize_t put = ::write(pty.master, buffer + done, read - done);
        if (put > 0) {
          done += static_cast<uint32_t>(put);
        } else {
          pollfd writable{pty.master, POLLOUT, 0};
          ::poll(&writable, 1, 10);
        }
      }
    }
    // The chip's work that is due by now runs while this thread waits a moment.
    if (got <= 0 && read == 0) clock.SleepFor(args.speed);
  }
  terminal.Serial().CloseSerial(port, nullptr);
  terminal.Find<sim::GpsChip>()->TakeBack();
  std::filesystem::remove(gpsDir / sim::kDriverModeFile, error);
  std::filesystem::remove(gpsDir / sim::kChipModeFile, error);
  clock.EndProcess(sim::kUpdaterProcess);
  std::filesystem::remove(args.link, error);
  return 0;
}

// The demo's package as "vostrel demo DIR" built it in DIR.
DemoPackage DemoPackageIn(const std::filesystem::path& dir) {
  const std::filesystem::path payload = dir / "package" / "payload";
  return {dir / "install.bin", dir / "package", payload / "GPS" / "VGPS_330.BIN",
          payload / "EBOOT2.NB0", payload / "NK.BIN"};
}

int RunDemoCheck(const std::string& dir, const std::string& demo) {
  auto opened = sim::Terminal::Open(dir);
  if (!opened) return OutsideRunError(opened.error());
  bool holds = true;
  for (const DemoCheck& check : CheckDemoUpdate(**opened, DemoPackageIn(demo))) {
    std::printf("  %-5s %s: %s\n", check.holds ? "ok" : "WRONG", check.what.c_str(),
                check.detail.c_str());
    holds = holds && check.holds;
  }
  return holds ? 0 : 1;
}

// The pixels that differ between two pictures of the screen, by rows of 8 pixels' height: where
// they lie and how far they are apart.
int RunCompareScreens(const std::string& taken, const std::string& reference) {
  auto display = sim::Display::Open();
  if (!display) return OutsideRunError(display.error());
  auto first = (*display)->LoadPng(taken);
  if (!first) return OutsideRunError(first.error());
  auto second = (*display)->LoadPng(reference);
  if (!second) return OutsideRunError(second.error());
  constexpr int kBand = 8;
  int differing = 0;
  int largest = 0;
  for (int top = 0; top < sim::kScreenHeight; top += kBand) {
    int count = 0;
    int left = sim::kScreenWidth;
    int right = -1;
    for (int y = top; y < std::min(top + kBand, sim::kScreenHeight); ++y) {
      for (int x = 0; x < sim::kScreenWidth; ++x) {
        const uint32_t a = first->At(x, y);
        const uint32_t b = second->At(x, y);
        if (a == b) continue;
        ++count;
        left = std::min(left, x);
        right = std::max(right, x);
        for (const int shift : {0, 8, 16}) {
          const int delta = std::abs(static_cast<int>((a >> shift) & 0xFF) -
                                     static_cast<int>((b >> shift) & 0xFF));
          largest = std::max(largest, delta);
        }
      }
    }
    if (count == 0) continue;
    differing += count;
    std::printf("  rows %3d-%3d: %4d pixels differ, columns %d-%d\n", top,
                std::min(top + kBand, sim::kScreenHeight) - 1, count, left, right);
  }
  if (differing == 0) {
    std::printf("equal: every pixel of %s is as in %s\n", taken.c_str(), reference.c_str());
    return 0;
  }
  std::printf("%d of %d pixels differ (by up to %d in a colour channel)\n", differing,
              sim::kScreenWidth * sim::kScreenHeight, largest);
  return 1;
}

}  // namespace

void AddOutsideRunCommands(CLI::App& sim, CLI::App& gps, int* exitCode) {
  auto* init = sim.add_subcommand(
      "demo-init", "Create a terminal as \"vostrel demo\" updates it, before the update");
  auto initDir = std::make_shared<std::string>();
  init->add_option("DIR", *initDir, "Folder of the new terminal")->required();
  auto initKeys = std::make_shared<std::vector<std::string>>();
  AddTrustOption(*init, initKeys.get());
  init->callback([exitCode, initDir, initKeys] {
    auto pems = ReadKeyFiles(*initKeys);
    sim::Status made = pems ? InitDemoTerminal(*initDir) : sim::Status::Failure(pems.error());
    if (made) made = TrustKeys(*initDir, *pems);
    *exitCode = made ? 0 : OutsideRunError(made.error());
  });
  auto* check = sim.add_subcommand(
      "demo-check",
      "Check what an update with the demo's package left on a terminal, as \"vostrel demo\" "
      "checks it: the partitions, the GPS flash and the installed files; exit code 1 when any "
      "differs");
  auto checkDir = std::make_shared<std::string>();
  auto checkDemo = std::make_shared<std::string>();
  check->add_option("DIR", *checkDir, "Folder of the terminal")->required();
  check->add_option("--demo", *checkDemo, "The folder in which \"vostrel demo\" built the package")
      ->required();
  check->callback(
      [exitCode, checkDir, checkDemo] { *exitCode = RunDemoCheck(*checkDir, *checkDemo); });

  auto* compare = sim.add_subcommand(
      "compare-screens",
      "Compare a picture of the screen (PNG or BMP, 320 by 240) with the simulator's picture of "
      "the same screen, pixel by pixel: exit code 0 when they are equal, 1 when pixels differ "
      "(listed by bands of rows)");
  auto pictures = std::make_shared<std::vector<std::string>>();
  compare->add_option("PICTURES", *pictures, "The picture taken and the simulator's")
      ->required()
      ->expected(2);
  compare->callback(
      [exitCode, pictures] { *exitCode = RunCompareScreens((*pictures)[0], (*pictures)[1]); });

  auto* serve = gps.add_subcommand(
      "serve",
      "Run the terminal's GPS chip in real time on a pseudo-terminal, for a program outside the "
      "simulator (the Win32 build under Wine: link the Wine prefix's dosdevices/com6 to PATH), "
      "until it is stopped (SIGTERM or Ctrl-C); the chip's flash is the terminal folder's");
  auto args = std::make_shared<GpsServeArgs>();
  serve->add_option("DIR", args->dir, "Folder of the terminal")->required();
  serve->add_option("--link", args->link, "The symbolic link to the line's far end (made)")
      ->required();
  serve
      ->add_option("--speed", args->speed,
                   "Run the chip's own time (erasing, programming, bytes on the line) N times "
                   "faster than real time")
      ->check(CLI::Range(1, 1000));
  serve->add_flag("--trace", args->trace, "Print every stretch of bytes on the line to stderr");
  serve->callback([exitCode, args] { *exitCode = RunGpsServe(*args); });
}

}  // namespace tools
