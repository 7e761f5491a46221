// Helpers of the benchmarks (tests/bench): timing work and printing the
// figures, and the large leases file several of them read.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/registry_root.h"

namespace trl::bench {

// Milliseconds one run of work takes.
inline double millis(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The median of runs runs of work, in milliseconds.
inline double medianMillis(int runs, const std::function<void()>& work) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) times.push_back(millis(work));
  return median(times);
}

// One figure line: what, then the value and its unit in a column of their own.
inline void figure(const std::string& what, double value, const char* unit = "ms", const std::string& note = "") {
  std::printf("  %-44s %9.2f %s%s\n", what.c_str(), value, unit, note.c_str());
  std::fflush(stdout);
}

// The address and MAC of server i of a large cluster (up to 62,500).
inline std::string ip(int i) { return "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 2); }
inline std::string mac(int i) {
  char text[18];
  std::snprintf(text, sizeof text, "00:25:90:00:%02x:%02x", (i >> 8) & 0xff, i & 0xff);
  return text;
}

// A leases file as dhcpd leaves it after long use: an append-only log in
// which each of 512 servers renewed many times, 10 MB in all.
inline std::string largeLeases() {
  std::string leases;
  while (leases.size() < (10u << 20))
    for (int i = 0; i < 512; ++i) leases += trl::test::leaseBlock(ip(i), mac(i));
  return leases;
}

}  // namespace trl::bench
