// Errors whose message quotes a caller's text (a gate name, a device or dtype
// text). what() is a C string and ends at the first NUL character; these keep
// the whole message, and each module's exception translator passes all of it
// to Python. They derive from the standard types, so code that catches those
// still catches them.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace zorvane {

template <class Base>
class WholeTextError : public Base {
 public:
  explicit WholeTextError(std::string text) : Base(text), text_(std::move(text)) {}
  const std::string& text() const noexcept { return text_; }

 private:
  std::string text_;
};

using InvalidArgumentText = WholeTextError<std::invalid_argument>;
using RuntimeErrorText = WholeTextError<std::runtime_error>;

}  // namespace zorvane
