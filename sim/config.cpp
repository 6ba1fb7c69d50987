#include "sim/config.h"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <type_traits>

#include "tools/gps_images/gps_images.h"

namespace sim {

namespace {

using nlohmann::json;

struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads the keys of one object, remembering which it knows so that a misspelt key is refused.
class Section {
 public:
  Section(const json& object, std::string path) : m_object(object), m_path(std::move(path)) {
    if (!m_object.is_object()) throw ConfigError(Name("") + ": expected an object");
  }

  template <typename T>
  void Read(const char* key, T& out, const char* expected) {
    m_known.insert(key);
    const auto it = m_object.find(key);
    if (it == m_object.end()) return;
    // The library would wrap a negative number into an unsigned field.
    if constexpr (std::is_unsigned_v<T> && !std::is_same_v<T, bool>) {
      if (!it->is_number_unsigned()) throw ConfigError(Name(key) + ": expected " + expected);
    }
    try {
      out = it->get<T>();
    } catch (const json::exception&) {
      throw ConfigError(Name(key) + ": expected " + expected);
    }
  }

  // A text that may be null (absent as a feature: a query that fails, no override).
  void ReadOptional(const char* key, std::optional<std::string>& out, const char* expected) {
    m_known.insert(key);
    const auto it = m_object.find(key);
    if (it == m_object.end()) return;
    if (it->is_null()) {
      out.reset();
    } else if (it->is_string()) {
      out = it->get<std::string>();
    } else {
      throw ConfigError(Name(key) + ": expected " + expected);
    }
  }

  void ReadOptional(const char* key, std::optional<uint32_t>& out, const char* expected) {
    m_known.insert(key);
    const auto it = m_object.find(key);
    if (it == m_object.end()) return;
    if (it->is_null()) {
      out.reset();
    } else if (it->is_number_unsigned()) {
      out = it->get<uint32_t>();
    } else {
      throw ConfigError(Name(key) + ": expected " + expected);
    }
  }

  const json* Child(const char* key) {
    m_known.insert(key);
    const auto it = m_object.find(key);
    return it == m_object.end() ? nullptr : &*it;
  }

  [[noreturn]] void Fail(const char* key, const std::string& why) const {
    throw ConfigError(Name(key) + ": " + why);
  }

  std::string Name(const char* key) const {
    if (m_path.empty()) return std::string("\"") + key + "\"";
    if (*key == '\0') return "\"" + m_path + "\"";
    return "\"" + m_path + "." + key + "\"";
  }

  std::string Path(const char* key) const { return m_path.empty() ? key : m_path + "." + key; }

  // Refuses keys that no reader asked for.
  void CheckUnknown() const {
    for (const auto& [key, value] : m_object.items()) {
      if (!m_known.contains(key)) throw ConfigError(Name(key.c_str()) + ": unknown key");
    }
  }

 private:
  const json& m_object;
  std::string m_path;
  std::set<std::string> m_known;
};

constexpr struct {
  AcLine line;
  const char* name;
} kAcLines[] = {{AcLine::kConnected, "connected"},
                {AcLine::kDisconnected, "disconnected"},
                {AcLine::kUnknown, "unknown"},
                {AcLine::kUnreadable, "unreadable"}};

constexpr struct {
  ShellDestroy action;
  const char* name;
} kShellDestroyActions[] = {{ShellDestroy::kEnd, "end"}, {ShellDestroy::kIgnore, "ignore"}};

constexpr struct {
  GpsFault fault;
  const char* name;
} kGpsFaults[] = {{GpsFault::kNone, "none"},
                  {GpsFault::kSilent, "silent"},
                  {GpsFault::kNak, "nak"},
                  {GpsFault::kBadChecksum, "bad_checksum"},
                  {GpsFault::kLongReply, "long_reply"},
                  {GpsFault::kStatus, "status"}};

void CheckAtMost(Section& section, const char* key, uint32_t value, uint32_t limit,
                 const char* expected) {
  if (value > limit) section.Fail(key, std::string("expected ") + expected);
}

void ReadGpsSection(Section& section, GpsConfig& gps) {
  section.Read("firmware_version", gps.firmwareVersion, "a version text");
  section.Read("chip_class", gps.chipClass, "a byte (0 to 255)");
  CheckAtMost(section, "chip_class", gps.chipClass, 0xFF, "a byte (0 to 255)");
  section.Read("rf_type", gps.rfType, "a byte (0 to 255)");
  CheckAtMost(section, "rf_type", gps.rfType, 0xFF, "a byte (0 to 255)");
  section.Read("clock_word1", gps.clockWord1, "a 16-bit number (0 to 65535)");
  CheckAtMost(section, "clock_word1", gps.clockWord1, 0xFFFF, "a 16-bit number (0 to 65535)");
  section.Read("clock_word2", gps.clockWord2, "a 16-bit number (0 to 65535)");
  CheckAtMost(section, "clock_word2", gps.clockWord2, 0xFFFF, "a 16-bit number (0 to 65535)");
  section.Read("flash_part", gps.flashPart, "a part name of the flash engine's table");
  if (!gps_images::FindPart(gps_images::ReadPartTable(gps_images::MakeFlashEngine()),
                            gps.flashPart)) {
    section.Fail("flash_part",
                 "expected a part name of the flash engine's table, such as \"AM29LV800BB\", "
                 "\"MX29LV400B\" or \"SST39VF1601\"");
  }
  section.Read("sector_erase_ms", gps.sectorEraseMs, "a number of milliseconds");
  section.Read("chip_erase_ms", gps.chipEraseMs, "a number of milliseconds");
  section.Read("word_program_us", gps.wordProgramUs, "a number of microseconds");
  section.Read("boot_ack", gps.bootAck, "a text");
  std::string fault = GpsFaultName(gps.fault);
  section.Read("fault", fault, "one of none, silent, nak, bad_checksum, long_reply, status");
  bool found = false;
  for (const auto& entry : kGpsFaults) {
    if (fault == entry.name) {
      gps.fault = entry.fault;
      found = true;
    }
  }
  if (!found)
    section.Fail("fault", "expected one of none, silent, nak, bad_checksum, long_reply, status");
  section.ReadOptional("fault_command", gps.faultCommand,
                       "a command code (0 to 255), or null for every frame");
  if (gps.faultCommand) {
    CheckAtMost(section, "fault_command", *gps.faultCommand, 0xFF,
                "a command code (0 to 255), or null for every frame");
  }
  section.Read("fault_status", gps.faultStatus, "an engine status number");
  section.ReadOptional("power_cut_after_bytes", gps.powerCutAfterBytes,
                       "a number of bytes, or null for no power cut");
}

// A terminal path such as "\Flash Disk2\data.bin", or null.
void CheckTerminalPath(Section& section, const char* key, const std::optional<std::string>& path) {
  if (path && (path->empty() || path->front() != '\\')) {
    section.Fail(key, "expected a full terminal path beginning with a backslash, or null");
  }
}

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a civil date, and back.
int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

}  // namespace

const char* AcLineName(AcLine line) {
  for (const auto& entry : kAcLines) {
    if (entry.line == line) return entry.name;
  }
  return "connected";
}

const char* GpsFaultName(GpsFault fault) {
  for (const auto& entry : kGpsFaults) {
    if (entry.fault == fault) return entry.name;
  }
  return "none";
}

const char* ShellDestroyName(ShellDestroy action) {
  for (const auto& entry : kShellDestroyActions) {
    if (entry.action == action) return entry.name;
  }
  return "end";
}

std::string FormatLocalTime(const platform::LocalTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

std::optional<platform::LocalTime> ParseLocalTime(const std::string& text) {
  platform::LocalTime t;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &t.year, &t.month, &t.day, &t.hour,
                  &t.minute, &t.second, &tail) != 6) {
    return std::nullopt;
  }
  if (t.year < 1601 || t.year > 9999 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > DaysInMonth(t.year, t.month) || t.hour > 23 || t.minute > 59 || t.second > 59 ||
      t.hour < 0 || t.minute < 0 || t.second < 0) {
    return std::nullopt;
  }
  return t;
}

platform::LocalTime AddMilliseconds(const platform::LocalTime& start, uint64_t milliseconds) {
  const int64_t startMs =
      ((static_cast<int64_t>(start.hour) * 60 + start.minute) * 60 + start.second) * 1000 +
      start.milliseconds;
  const int64_t total = startMs + static_cast<int64_t>(milliseconds);
  const int64_t dayMs = 86400000;
  const int64_t days = DaysFromCivil(start.year, start.month, start.day) + total / dayMs;
  const int64_t rest = total % dayMs;
  platform::LocalTime t;
  CivilFromDays(days, t.year, t.month, t.day);
  t.hour = static_cast<int>(rest / 3600000);
  t.minute = static_cast<int>(rest / 60000 % 60);
  t.second = static_cast<int>(rest / 1000 % 60);
  t.milliseconds = static_cast<int>(rest % 1000);
  return t;
}

std::string GpsVersionAnswer(const GpsDriverConfig& driver, const std::string& firmwareVersion) {
  if (driver.answer) return *driver.answer;
  return driver.version + "/VGPS " + firmwareVersion;
}

Result<TerminalConfig> ParseConfig(const json& root) {
  TerminalConfig config;
  try {
    Section top(root, "");
    top.Read("program", config.programPath, "a terminal path (text)");
    if (config.programPath.empty() || config.programPath.front() != '\\' ||
        config.programPath.back() == '\\') {
      top.Fail("program",
               "expected the full terminal path of the program, such as "
               "\"\\\\Storage Card\\\\VostrelHHT.exe\"");
    }
    top.Read("folders", config.folders, "a list of terminal paths");

    if (const json* clock = top.Child("clock")) {
      Section section(*clock, "clock");
      std::string start = FormatLocalTime(config.clockStart);
      section.Read("start", start, "a local time \"YYYY-MM-DD hh:mm:ss\"");
      const auto parsed = ParseLocalTime(start);
      if (!parsed) section.Fail("start", "expected a local time \"YYYY-MM-DD hh:mm:ss\"");
      config.clockStart = *parsed;
      section.Read("tick_start", config.tickStart, "a number of milliseconds");
      section.CheckUnknown();
    }

    if (const json* power = top.Child("power")) {
      Section section(*power, "power");
      std::string line = AcLineName(config.acLine);
      section.Read("ac_line", line, "one of connected, disconnected, unknown, unreadable");
      bool found = false;
      for (const auto& entry : kAcLines) {
        if (line == entry.name) {
          config.acLine = entry.line;
          found = true;
        }
      }
      if (!found)
        section.Fail("ac_line", "expected one of connected, disconnected, unknown, unreadable");
      section.CheckUnknown();
    }

    if (const json* hal = top.Child("hal")) {
      Section section(*hal, "hal");
      section.Read("reboot_fails", config.hal.rebootFails, "true or false");
      section.ReadOptional("boot_version", config.hal.bootVersion,
                           "a version text, or null for a failing query");
      section.ReadOptional("kernel_version", config.hal.kernelVersion,
                           "a version text, or null for a failing query");
      section.ReadOptional("key_material", config.hal.keyMaterial,
                           "hexadecimal key material, or null for none");
      if (config.hal.keyMaterial && !KeyMaterialBytes(*config.hal.keyMaterial)) {
        section.Fail("key_material", "expected 1 to 100 bytes as hexadecimal digits, or null");
      }
      section.CheckUnknown();
    }

    if (const json* gps = top.Child("gps_driver")) {
      Section section(*gps, "gps_driver");
      section.Read("present", config.gpsDriver.present, "true or false");
      section.Read("version", config.gpsDriver.version, "a version text");
      section.ReadOptional("answer", config.gpsDriver.answer,
                           "the driver's whole version answer, or null");
      section.ReadOptional("returned_count", config.gpsDriver.returnedCount,
                           "a byte count, or null for the answer's length plus one");
      section.Read("refuses_mode_2", config.gpsDriver.refusesMode2, "true or false");
      section.CheckUnknown();
    }

    if (const json* gps = top.Child("gps")) {
      Section section(*gps, "gps");
      ReadGpsSection(section, config.gps);
      section.CheckUnknown();
    }

    if (const json* desktop = top.Child("desktop")) {
      Section section(*desktop, "desktop");
      DesktopConfig& d = config.desktop;
      section.Read("cache_size", d.cacheSize, "a number of bytes");
      if (d.cacheSize == 0) section.Fail("cache_size", "expected a number of bytes above 0");
      section.ReadOptional("stop_after", d.stopAfter,
                           "a number of exchanges, or null to answer every one");
      section.Read("abort_after_ms", d.abortAfterMs, "a number of milliseconds (0: never)");
      section.Read("fill_short_by", d.fillShortBy, "a number of bytes");
      section.ReadOptional("fill_size", d.fillSize, "a number of bytes, or null");
      section.ReadOptional("empty_response_at", d.emptyResponseAt,
                           "the number of an exchange, or null");
      section.Read("hold_flag_ms", d.holdFlagMs, "a number of milliseconds");
      section.ReadOptional("looking_no_at", d.lookingNoAt, "the number of an exchange, or null");
      section.CheckUnknown();
    }

    if (const json* shell = top.Child("shell")) {
      Section section(*shell, "shell");
      ShellConfig& shellConfig = config.shell;
      section.Read("application_version", config.shell.applicationVersion, "a version text");
      section.Read("running", shellConfig.running, "true or false");
      std::string onDestroy = ShellDestroyName(shellConfig.onDestroy);
      section.Read("on_destroy", onDestroy, "one of end, ignore");
      bool found = false;
      for (const auto& entry : kShellDestroyActions) {
        if (onDestroy == entry.name) {
          shellConfig.onDestroy = entry.action;
          found = true;
        }
      }
      if (!found) section.Fail("on_destroy", "expected one of end, ignore");
      section.Read("end_after_seconds", shellConfig.endAfterSeconds, "a number of seconds");
      section.Read("can_be_terminated", shellConfig.canBeTerminated, "true or false");
      section.ReadOptional("locked_file", shellConfig.lockedFile,
                           "a terminal path, or null for none");
      CheckTerminalPath(section, "locked_file", shellConfig.lockedFile);
      section.ReadOptional("orphaned_lock", shellConfig.orphanedLock,
                           "a terminal path, or null for none");
      CheckTerminalPath(section, "orphaned_lock", shellConfig.orphanedLock);
      section.CheckUnknown();
    }
    if (const json* flash = top.Child("flash")) {
      if (auto error = ParseFlashSection(*flash, config.flash)) throw ConfigError(*error);
    }
    if (const json* memory = top.Child("memory")) {
      if (auto error = ParseMemorySection(*memory, config.memory)) throw ConfigError(*error);
    }
    top.CheckUnknown();
  } catch (const ConfigError& error) {
    return Result<TerminalConfig>::Failure(error.what());
  }
  return config;
}

Result<TerminalConfig> LoadConfig(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return Result<TerminalConfig>::Failure(file.string() + ": cannot be read");
  std::stringstream buffer;
  buffer << in.rdbuf();
  json root;
  try {
    root = json::parse(buffer.str());
  } catch (const json::parse_error& error) {
    return Result<TerminalConfig>::Failure(file.string() + ": not valid JSON (" + error.what() +
                                           ")");
  }
  auto config = ParseConfig(root);
  if (!config) return Result<TerminalConfig>::Failure(file.string() + ": key " + config.error());
  return config;
}

json ConfigToJson(const TerminalConfig& config) {
  json root;
  root["program"] = config.programPath;
  root["folders"] = config.folders;
  root["clock"] = {{"start", FormatLocalTime(config.clockStart)}, {"tick_start", config.tickStart}};
  root["power"] = {{"ac_line", AcLineName(config.acLine)}};
  const auto optional = [](const auto& value) -> json {
    return value ? json(*value) : json(nullptr);
  };
  root["hal"] = {{"reboot_fails", config.hal.rebootFails},
                 {"boot_version", optional(config.hal.bootVersion)},
                 {"kernel_version", optional(config.hal.kernelVersion)},
                 {"key_material", optional(config.hal.keyMaterial)}};
  root["gps_driver"] = {{"present", config.gpsDriver.present},
                        {"version", config.gpsDriver.version},
                        {"answer", optional(config.gpsDriver.answer)},
                        {"returned_count", optional(config.gpsDriver.returnedCount)},
                        {"refuses_mode_2", config.gpsDriver.refusesMode2}};
  const GpsConfig& gps = config.gps;
  root["gps"] = {{"firmware_version", gps.firmwareVersion},
                 {"chip_class", gps.chipClass},
                 {"rf_type", gps.rfType},
                 {"clock_word1", gps.clockWord1},
                 {"clock_word2", gps.clockWord2},
                 {"flash_part", gps.flashPart},
                 {"sector_erase_ms", gps.sectorEraseMs},
                 {"chip_erase_ms", gps.chipEraseMs},
                 {"word_program_us", gps.wordProgramUs},
                 {"boot_ack", gps.bootAck},
                 {"fault", GpsFaultName(gps.fault)},
                 {"fault_command", optional(gps.faultCommand)},
                 {"fault_status", gps.faultStatus},
                 {"power_cut_after_bytes", optional(gps.powerCutAfterBytes)}};
  root["shell"] = {{"application_version", config.shell.applicationVersion},
                   {"running", config.shell.running},
                   {"on_destroy", ShellDestroyName(config.shell.onDestroy)},
                   {"end_after_seconds", config.shell.endAfterSeconds},
                   {"can_be_terminated", config.shell.canBeTerminated},
                   {"locked_file", optional(config.shell.lockedFile)},
                   {"orphaned_lock", optional(config.shell.orphanedLock)}};
  const DesktopConfig& desktop = config.desktop;
  root["desktop"] = {{"cache_size", desktop.cacheSize},
                     {"stop_after", optional(desktop.stopAfter)},
                     {"abort_after_ms", desktop.abortAfterMs},
                     {"fill_short_by", desktop.fillShortBy},
                     {"fill_size", optional(desktop.fillSize)},
                     {"empty_response_at", optional(desktop.emptyResponseAt)},
                     {"hold_flag_ms", desktop.holdFlagMs},
                     {"looking_no_at", optional(desktop.lookingNoAt)}};
  root["flash"] = FlashSectionToJson(config.flash);
  root["memory"] = MemorySectionToJson(config.memory);
  return root;
}

std::optional<std::string> KeyMaterialBytes(const std::string& hex) {
  if (hex.empty() || hex.size() % 2 != 0 || hex.size() > 200) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    unsigned value = 0;
    for (std::size_t j = i; j < i + 2; ++j) {
      const char c = hex[j];
      unsigned digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return std::nullopt;
      }
      value = value * 16 + digit;
    }
    bytes.push_back(static_cast<char>(value));
  }
  return bytes;
}

Status SaveConfig(const std::filesystem::path& file, const TerminalConfig& config) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) return Status::Failure(file.string() + ": cannot be written");
  out << ConfigToJson(config).dump(2) << "\n";
  if (!out) return Status::Failure(file.string() + ": cannot be written");
  return {};
}

}  // namespace sim
