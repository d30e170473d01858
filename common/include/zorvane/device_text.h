// Device and element-type texts shared by both modules: "cuda", "gpu",
// "cuda:<id>" and "complex64", "complex128".
#pragma once

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "zorvane/text_errors.h"

namespace zorvane {

// Decimal text to int as the standard conversion reads it: leading white
// space and a sign accepted, reading stops at the first non-digit.
inline int text_to_int(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(begin, &end, 10);
  if (end == begin) throw std::invalid_argument("invalid stoi argument");
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) throw std::out_of_range("stoi argument out of range");
  return static_cast<int>(value);
}

inline int parse_device(const std::string& text) {
  if (text == "cuda" || text == "gpu") return 0;
  if (text.size() > 4 && text.compare(0, 5, "cuda:") == 0) return text_to_int(text.substr(5));
  throw InvalidArgumentText("device must be 'cuda', 'gpu', or 'cuda:<id>', got: " + text);
}

// Returns 1 for complex128, 0 for complex64.
inline int parse_dtype(const std::string& text) {
  if (text == "complex64") return 0;
  if (text == "complex128") return 1;
  throw InvalidArgumentText("dtype must be 'complex64' or 'complex128', got: " + text);
}

}  // namespace zorvane
