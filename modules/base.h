// Text conversion shared by every module.
#pragma once

#include <sstream>
#include <string>

// Streams any value into text: bools become "1"/"0", integers decimal.
template <typename T>
std::string to_string(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}
