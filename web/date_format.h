// Time points as text with the date format patterns of the chart's time axis:
// yyyy yy MMMM MMM MM M dddd ddd dd d hh h HH H mm m ss s AP ap zzz (MMM,
// ddd: English short names, MMMM, dddd: full names), other characters literal,
// text in single quotes literal. hh is the hour of the day (00-23) unless AP
// or ap appears, then 01-12.
#pragma once

#include <chrono>
#include <string>

namespace web {

enum class TimeZone { Local, Utc };

std::string formatTime(std::chrono::system_clock::time_point t, const std::string& pattern,
                       TimeZone zone = TimeZone::Local);

}  // namespace web
