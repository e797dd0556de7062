#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The programs' command lines (quillmar-cli, the panel's broker and phone remote options,
// relay-sim), read alike: "--name VALUE" or "--name=VALUE", flags that take no value, numbers
// checked against their range, and the same words for the same mistakes. Plain C++.
namespace args {

// A whole number or a decimal that is all of `text`, nothing else; none otherwise.
template <typename Number>
std::optional<Number> number(std::string_view text) {
  Number value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// A time with its unit, as rig files and the command line write it: "200ms", "0.2s", "1.5 s"
// (digits, a fraction if wanted, blanks if wanted, then ms or s).
struct TimeText {
  bool time = false;     // it has that form
  bool whole = true;     // it is a whole number of milliseconds
  std::uint64_t ms = 0;  // past every limit when the digits are
};
TimeText timeWithUnit(std::string_view text);

// A time in seconds as the command line takes it: a number of seconds ("0.2", as always), or a
// time with its unit to the millisecond ("200ms", "0.2s"); none for anything else.
std::optional<double> secondsOf(std::string_view text);

// Walks through the arguments (the program's name left out), one option at a time. What goes
// wrong is kept in error(), in the words every program uses.
class Reader {
 public:
  // How an option is spelled: "--name" only, or also "-name" (a toolkit's style, as the panel
  // takes "-platform offscreen" beside its own options).
  enum class Dashes { Two, OneOrTwo };

  explicit Reader(std::vector<std::string> arguments, Dashes dashes = Dashes::Two)
      : arguments_(std::move(arguments)), dashes_(dashes) {}

  // Moves to the next argument; false after the last. "--name=VALUE" (with Dashes::OneOrTwo also
  // "-name=VALUE") is split at its first '='.
  bool next();
  // The argument as given ("--pulse=2"), and its name ("--pulse").
  const std::string& given() const { return arguments_[at_]; }
  const std::string& name() const { return name_; }

  // The option's value: attached with '=', or the next argument, which is then taken. None, with
  // "NAME needs a value", after the last argument.
  std::optional<std::string> value();
  // A value that may be left out: attached, or the next argument when `fits` it (it is then
  // taken); none when there is neither.
  template <typename Fits>
  std::optional<std::string> optionalValue(Fits fits) {
    if (attached_) return attached_;
    if (at_ + 1 < arguments_.size() && fits(arguments_[at_ + 1])) return arguments_[++at_];
    return std::nullopt;
  }
  // A flag: false, with "NAME takes no value", when a value was attached to it.
  bool flag();
  // Whether a value was attached with '='.
  bool attached() const { return attached_.has_value(); }

  // The option's value as seconds from `least` to `most` (compared in whole microseconds, so
  // 0.05 is no less than 50 ms), given as secondsOf() reads it; none, with "NAME wants a time
  // from LEAST to MOST s (0.2, 0.2s or 200ms), not 'VALUE'".
  std::optional<double> seconds(double least, double most);
  // The option's value as a whole number from `least` to `most`; none, with "NAME wants WHAT
  // from LEAST to MOST, not 'VALUE'".
  std::optional<long long> whole(std::string_view what, long long least, long long most);

  // "NAME wants WHAT from LEAST to MOST, not 'VALUE'", kept as the error, for a check of the
  // program's own; returns none.
  std::nullopt_t wants(std::string_view what, std::string_view range, const std::string& value);

  const std::string& error() const { return error_; }
  // Sets the error; returns none, for a parser's own refusals.
  std::nullopt_t fail(std::string error);

 private:
  std::vector<std::string> arguments_;
  Dashes dashes_;
  std::size_t at_ = 0;
  bool started_ = false;
  std::string name_;
  std::optional<std::string> attached_;
  std::string error_;
};

// "0.05 to 3600": a range's bounds as the messages write them.
std::string range(double least, double most);

}  // namespace args
