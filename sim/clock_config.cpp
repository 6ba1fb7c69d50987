#include "sim/clock_config.h"

#include <cstdio>

#include "sim/config_section.h"

namespace sim {

namespace {

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

void ReadSection(ConfigReader& reader, ClockConfig& config) {
  std::string start = FormatLocalTime(config.start);
  reader.Read("start", start, "a local time \"YYYY-MM-DD hh:mm:ss\"");
  const auto parsed = ParseLocalTime(start);
  if (!parsed) reader.Fail("start", "expected a local time \"YYYY-MM-DD hh:mm:ss\"");
  config.start = *parsed;
  reader.Read("tick_start", config.tickStart, "a number of milliseconds");
}

nlohmann::json SectionJson(const ClockConfig& config) {
  return {{"start", FormatLocalTime(config.start)}, {"tick_start", config.tickStart}};
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

}  // namespace sim
