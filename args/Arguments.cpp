#include "Arguments.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

namespace args {

bool Reader::next() {
  if (started_) ++at_;
  started_ = true;
  if (at_ >= arguments_.size()) return false;
  name_ = arguments_[at_];
  attached_.reset();
  const std::size_t dashes = dashes_ == Dashes::Two ? 2 : 1;
  if (name_.size() >= dashes && name_.compare(0, dashes, "--", dashes) == 0) {
    if (const auto equals = name_.find('='); equals != std::string::npos) {
      attached_ = name_.substr(equals + 1);
      name_.resize(equals);
    }
  }
  return true;
}

std::optional<std::string> Reader::value() {
  if (attached_) return attached_;
  if (at_ + 1 < arguments_.size()) return arguments_[++at_];
  return fail(name_ + " needs a value");
}

bool Reader::flag() {
  if (!attached_) return true;
  fail(name_ + " takes no value");
  return false;
}

TimeText timeWithUnit(std::string_view text) {
  std::size_t at = 0;
  const auto digits = [&text, &at] {
    const std::size_t from = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    return text.substr(from, at - from);
  };
  const std::string_view whole = digits();
  std::string_view fraction;
  if (at < text.size() && text[at] == '.') {
    ++at;
    fraction = digits();
    if (fraction.empty()) return {};
  }
  if (whole.empty()) return {};
  while (at < text.size() && text[at] == ' ') ++at;
  const std::string_view unit = text.substr(at);
  const std::size_t shift = unit == "s" ? 3 : unit == "ms" ? 0 : std::string_view::npos;
  if (shift == std::string_view::npos) return {};
  // Fifteen digits of seconds are past every limit, and still fit in 64 bits as milliseconds.
  constexpr std::size_t kMostDigits = 15;
  if (whole.size() > kMostDigits) return {true, true, std::numeric_limits<std::uint64_t>::max()};
  std::uint64_t ms = 0;
  for (const char digit : whole) ms = ms * 10 + static_cast<std::uint64_t>(digit - '0');
  for (std::size_t i = 0; i < shift; ++i) {
    ms = ms * 10 + (i < fraction.size() ? static_cast<std::uint64_t>(fraction[i] - '0') : 0);
  }
  const bool wholeMs = fraction.size() <= shift ||
                       fraction.substr(shift).find_first_not_of('0') == std::string_view::npos;
  return {true, wholeMs, ms};
}

std::optional<double> secondsOf(std::string_view text) {
  if (const auto seconds = number<double>(text)) return seconds;
  const TimeText time = timeWithUnit(text);
  // Finer than a millisecond is no time the rig keeps: refused rather than rounded.
  if (!time.time || !time.whole) return std::nullopt;
  return static_cast<double>(time.ms) / 1000;
}

std::optional<double> Reader::seconds(double least, double most) {
  const std::optional<std::string> text = value();
  if (!text) return std::nullopt;
  const auto asked = secondsOf(*text);
  if (!asked || !std::isfinite(*asked) || std::round(*asked * 1e6) < std::round(least * 1e6) ||
      std::round(*asked * 1e6) > std::round(most * 1e6)) {
    return wants("a time", range(least, most) + " s (0.2, 0.2s or 200ms)", *text);
  }
  return asked;
}

std::optional<long long> Reader::whole(std::string_view what, long long least, long long most) {
  const std::optional<std::string> text = value();
  if (!text) return std::nullopt;
  const auto asked = number<long long>(*text);
  if (!asked || *asked < least || *asked > most) {
    return wants(what, std::to_string(least) + " to " + std::to_string(most), *text);
  }
  return asked;
}

std::nullopt_t Reader::wants(std::string_view what, std::string_view range,
                             const std::string& value) {
  return fail(name_ + " wants " + std::string(what) + " from " + std::string(range) + ", not '" +
              value + "'");
}

std::nullopt_t Reader::fail(std::string error) {
  error_ = std::move(error);
  return std::nullopt;
}

std::string range(double least, double most) {
  char text[64];
  std::snprintf(text, sizeof text, "%g to %g", least, most);
  return text;
}

}  // namespace args
