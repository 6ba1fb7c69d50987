// Writes the demo's boot loader and kernel images at build time:
//
//   make_os_images DESCRIPTION OUTDIR
//
// the boot loader as a raw image and the kernel as a plain .BIN record image with gaps between
// its records, as DESCRIPTION ("key = value" lines) names them. Both are made-up bytes that
// carry the simulator's version text, the same on every build.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "tools/host_files.h"

namespace {

namespace host = tools::host;

namespace fs = std::filesystem;

constexpr uint32_t kMaxImage = 32U << 20;

int Fail(const std::string& message) {
  std::fprintf(stderr, "make_os_images: %s\n", message.c_str());
  return 1;
}

// "key = value" lines; ";" starts a comment.
bool ReadDescription(const fs::path& file, std::map<std::string, std::string>* keys) {
  auto bytes = host::ReadFile(file);
  if (!bytes) return false;
  std::istringstream in(*bytes);
  const auto trim = [](const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    const auto last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
  };
  std::string line;
  while (std::getline(in, line)) {
    line = trim(line.substr(0, line.find(';')));
    const auto equals = line.find('=');
    if (line.empty() || equals == std::string::npos) continue;
    (*keys)[trim(line.substr(0, equals))] = trim(line.substr(equals + 1));
  }
  return true;
}

// A banner, the version text with its zero byte, then filler from a fixed seed.
std::string MakeRawImage(const std::string& what, const std::string& version, uint32_t size,
                         uint32_t seed) {
  std::string image = "VostrelHHT demo " + what + "\n";
  image += "VOSTREL-VERSION:" + version;
  image.push_back('\0');
  std::mt19937 random(seed);
  while (image.size() < size) image.push_back(static_cast<char>(random() & 0xFF));
  image.resize(size);
  return image;
}

void PutLe32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

// Records of `record` bytes from the image's start, each followed by `gap` bytes that no record
// carries; the terminal's loader leaves those erased.
std::string MakeGappedBin(const std::string& raw, uint32_t start, uint32_t record, uint32_t gap) {
  std::string out = "B000FF\n";
  PutLe32(out, start);
  PutLe32(out, static_cast<uint32_t>(raw.size()));
  for (std::size_t at = 0; at < raw.size(); at += record + gap) {
    const std::string data = raw.substr(at, record);
    uint32_t sum = 0;
    for (const char c : data) sum += static_cast<uint8_t>(c);
    PutLe32(out, start + static_cast<uint32_t>(at));
    PutLe32(out, static_cast<uint32_t>(data.size()));
    PutLe32(out, sum);
    out += data;
  }
  for (int i = 0; i < 3; ++i) PutLe32(out, 0);
  return out;
}

int Make(const fs::path& description, const fs::path& dir) {
  std::map<std::string, std::string> keys;
  if (!ReadDescription(description, &keys)) return Fail(description.string() + ": cannot be read");
  std::map<std::string, uint32_t> numbers;
  for (const char* key : {"boot_version", "boot_file", "kernel_version", "kernel_file", "boot_size",
                          "kernel_start", "kernel_size", "kernel_record", "kernel_gap"}) {
    if (keys[key].empty()) return Fail(description.string() + ": \"" + key + "\" is missing");
  }
  for (const char* key :
       {"boot_size", "kernel_start", "kernel_size", "kernel_record", "kernel_gap"}) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(keys[key].c_str(), &end, 0);
    if (*end != '\0' || value > 0xFFFFFFFFULL) {
      return Fail(description.string() + ": \"" + key + "\" is not a 32-bit number");
    }
    numbers[key] = static_cast<uint32_t>(value);
  }
  for (const char* key : {"boot_size", "kernel_size", "kernel_record"}) {
    if (numbers[key] == 0 || numbers[key] > kMaxImage) {
      return Fail(description.string() + ": \"" + key + "\" must be 1 to 33554432 bytes");
    }
  }
  const std::string boot =
      MakeRawImage("boot loader", keys["boot_version"], numbers["boot_size"], 20070314);
  const std::string kernel =
      MakeRawImage("kernel", keys["kernel_version"], numbers["kernel_size"], 20070315);
  const std::string bin = MakeGappedBin(kernel, numbers["kernel_start"], numbers["kernel_record"],
                                        numbers["kernel_gap"]);
  for (const auto& [name, contents] :
       {std::pair{keys["boot_file"], boot}, std::pair{keys["kernel_file"], bin}}) {
    if (common::Status written = host::WriteIfChanged(dir / name, contents); !written) {
      return Fail(written.error());
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3) return Make(argv[1], argv[2]);
  std::fprintf(stderr, "usage: make_os_images DESCRIPTION OUTDIR\n");
  return 2;
}
