// Fuzz target for the port selector's text-to-number conversion: whatever the text, the result is
// a number the text really stands for, rounded the documented way, or nothing.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rig/Protocol.h"

namespace {

void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// [sign] digits and nothing else: its value, saturated far outside the 16-bit range.
bool plainInteger(std::string_view text, long long& value) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  value = 0;
  for (const char c : text) {
    if (!isDigit(c)) return false;
    value = std::min(value * 10 + (c - '0'), 1'000'000'000LL);
  }
  if (negative) value = -value;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto value = rig::protocol::toInteger16(text);

  check(rig::protocol::toInteger16(" \t" + text + "\t ") == value, "blanks around change nothing");

  const std::string_view core = trimmed(text);
  long long whole = 0;
  if (plainInteger(core, whole)) {
    const bool inRange = whole >= -32768 && whole <= 32767;
    check(value.has_value() == inRange, "a whole number converts exactly when in range");
    if (value) check(*value == whole, "a whole number converts to itself");
  }

  if (!value) return 0;
  check(*value >= -32768 && *value <= 32767, "result in range");
  check(!core.empty(), "an empty text has no value");
  for (const char c : core) {
    check(isDigit(c) || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E',
          "only a decimal number has a value");
  }
  const std::string number(core);
  char* end = nullptr;
  const double parsed = std::strtod(number.c_str(), &end);
  check(end == number.c_str() + number.size(), "the whole text is the number");
  const double distance = std::fabs(parsed - *value);
  check(distance <= 0.5, "rounded to a nearest whole number");
  // Short texts are exact in a double: a half goes to the even neighbour.
  if (distance == 0.5 && core.size() <= 10) check(*value % 2 == 0, "halves go to even");
  return 0;
}
