// Shared by the GPS tests: packages with GPS items, the bytes on the chip's serial line, and a
// fixture with the updater's objects started, the chip's line tapped.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "sim/serial_line.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace gps_testing {

// Who put a chunk on the wire.
inline constexpr auto kFromTerminal = sim::WireChunk::From::kTerminal;
inline constexpr auto kFromChip = sim::WireChunk::From::kDevice;

struct GpsItem {
  std::string version;
  std::string command;  // file^kind
};

// Settings whose Update keys name only the GPS kind, with the items in order.
std::string GpsSettings(const std::vector<GpsItem>& items);

std::string AsString(const std::vector<uint8_t>& bytes);
// A firmware image carrying the version record, and the same image as S-records.
std::string Firmware(std::string_view version, std::size_t size);
std::string FirmwareSRecords(std::string_view version, std::size_t size);
// The stand-in boot loader that the chip runs.
std::string BootLoader();

// What one side put on the line, in order, one entry per write.
std::vector<std::vector<uint8_t>> Writes(const std::vector<sim::WireChunk>& tap,
                                         sim::WireChunk::From from);
// The payloads of the frames that one side sent (a frame is always one write).
std::vector<std::vector<uint8_t>> Frames(const std::vector<sim::WireChunk>& tap,
                                         sim::WireChunk::From from);
// Payloads whose first byte is the code.
std::vector<std::vector<uint8_t>> FramesWithCode(const std::vector<sim::WireChunk>& tap,
                                                 sim::WireChunk::From from, uint8_t code);
uint32_t BigEndian32(const std::vector<uint8_t>& bytes, std::size_t at);

std::size_t Count(std::string_view text, std::string_view needle);
// True when the parts occur in the text in this order (other text may lie between them).
bool InOrder(std::string_view text, std::initializer_list<std::string_view> parts);

class GpsTest : public testing_support::TerminalTest {
 protected:
  void SetUp() override;
  // Puts the package beside the program, where the settings say it lies.
  void UsePackage(const std::vector<testing_support::PackageMember>& members);
  // Hands the chip over for programming, as the GPS driver's mode 2 does.
  void HandOverChip();
  const std::vector<sim::WireChunk>& Tap();
  // The terminal powered off and on again with the chip's factory firmware, no "LoadAlways", and
  // the hardware changed as given; the updater's objects are started afresh.
  void Fresh(const std::function<void(sim::TerminalConfig&)>& change = {});
  // The registry value that asks the GPS driver to load always.
  bool LoadAlwaysSet();
};

}  // namespace gps_testing
