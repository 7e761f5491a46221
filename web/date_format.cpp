#include "web/date_format.h"

#include <cstdio>
#include <ctime>

namespace web {

namespace {

std::string pad(int v, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, v);
  return buf;
}

const char* const months[] = {"January", "February", "March",     "April",   "May",      "June",
                              "July",    "August",   "September", "October", "November", "December"};
const char* const days[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

std::size_t run(const std::string& s, std::size_t i) {
  std::size_t j = i;
  while (j < s.size() && s[j] == s[i]) ++j;
  return j - i;
}

}  // namespace

std::string formatTime(std::chrono::system_clock::time_point t, const std::string& pattern, TimeZone zone) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  if (zone == TimeZone::Local)
    localtime_r(&secs, &tm);
  else
    gmtime_r(&secs, &tm);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  const bool twelve = pattern.find("AP") != std::string::npos || pattern.find("ap") != std::string::npos;
  int hour12 = tm.tm_hour % 12;
  if (hour12 == 0) hour12 = 12;

  std::string out;
  for (std::size_t i = 0; i < pattern.size();) {
    const char c = pattern[i];
    if (c == '\'') {
      const std::size_t end = pattern.find('\'', i + 1);
      out += pattern.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
      i = end == std::string::npos ? pattern.size() : end + 1;
      continue;
    }
    const std::size_t n = run(pattern, i);
    std::size_t used = n;
    switch (c) {
      case 'y':
        if (n >= 4) { out += pad(tm.tm_year + 1900, 4); used = 4; }
        else if (n >= 2) { out += pad((tm.tm_year + 1900) % 100, 2); used = 2; }
        else out += 'y';
        break;
      case 'M':
        if (n >= 4) { out += months[tm.tm_mon]; used = 4; }
        else if (n == 3) { out += std::string(months[tm.tm_mon]).substr(0, 3); used = 3; }
        else { out += n == 2 ? pad(tm.tm_mon + 1, 2) : std::to_string(tm.tm_mon + 1); used = n; }
        break;
      case 'd':
        if (n >= 4) { out += days[tm.tm_wday]; used = 4; }
        else if (n == 3) { out += std::string(days[tm.tm_wday]).substr(0, 3); used = 3; }
        else { out += n == 2 ? pad(tm.tm_mday, 2) : std::to_string(tm.tm_mday); used = n; }
        break;
      case 'h': {
        const int h = twelve ? hour12 : tm.tm_hour;
        out += n >= 2 ? pad(h, 2) : std::to_string(h);
        used = n >= 2 ? 2 : 1;
        break;
      }
      case 'H': out += n >= 2 ? pad(tm.tm_hour, 2) : std::to_string(tm.tm_hour); used = n >= 2 ? 2 : 1; break;
      case 'm': out += n >= 2 ? pad(tm.tm_min, 2) : std::to_string(tm.tm_min); used = n >= 2 ? 2 : 1; break;
      case 's': out += n >= 2 ? pad(tm.tm_sec, 2) : std::to_string(tm.tm_sec); used = n >= 2 ? 2 : 1; break;
      case 'z':
        if (n >= 3) { out += pad(static_cast<int>(ms), 3); used = 3; }
        else out += 'z';
        break;
      case 'A':
      case 'a':
        if (i + 1 < pattern.size() && (pattern[i + 1] == 'P' || pattern[i + 1] == 'p')) {
          const bool pm = tm.tm_hour >= 12;
          out += c == 'A' ? (pm ? "PM" : "AM") : (pm ? "pm" : "am");
          used = 2;
        } else {
          out += c;
          used = 1;
        }
        break;
      default: out += c; used = 1;
    }
    i += used;
  }
  return out;
}

}  // namespace web
