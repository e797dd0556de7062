#include "Arguments.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace args {

bool Reader::next() {
  if (started_) ++at_;
  started_ = true;
  if (at_ >= arguments_.size()) return false;
  name_ = arguments_[at_];
  attached_.reset();
  if (name_.rfind("--", 0) == 0) {
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

std::optional<double> Reader::seconds(double least, double most) {
  const std::optional<std::string> text = value();
  if (!text) return std::nullopt;
  const auto asked = number<double>(*text);
  if (!asked || !std::isfinite(*asked) || std::round(*asked * 1e6) < std::round(least * 1e6) ||
      std::round(*asked * 1e6) > std::round(most * 1e6)) {
    return wants("seconds", range(least, most), *text);
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
