#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Figures for the benchmark: summaries of repeated measurements, the markdown table they are
// published in, and what the 9600 baud line allows at best.
namespace bench {

struct Summary {
  std::size_t count = 0;
  double min = 0;
  double median = 0;  // the mean of the two middle samples when the count is even
  double p99 = 0;     // nearest rank: the smallest sample with 99 % of the samples at or below it
  double max = 0;
};

// All zero for no samples.
Summary summarize(std::vector<double> samples);

struct Row {
  std::string measurement;  // with its unit, e.g. "Pulse width (ms)"
  Summary summary;
  int decimals = 2;
  std::string target;       // in words, "<= 5 ms"
  std::optional<bool> met;  // nothing when the row has no target (a baseline) or no samples
};

// A markdown table, one line per row: measurement, n, min, median, p99, max, target, met.
std::string markdownTable(const std::vector<Row>& rows);

// The value of the first line of `path` that starts with `key` ("model name: ..."), or "unknown".
std::string firstLine(const std::string& path, const std::string& key);
// The load average over 1, 5 and 15 minutes, "0.21 0.15 0.10".
std::string loadAverage();
// What a table was measured on, printed above it: the commit of the source tree (and whether
// it had uncommitted changes), the date and time, and the load average "at the start": call it
// as the run starts.
std::string measuredOn();
// The rows a benchmark prints, as its list file names them (one a line; the guide's tables may
// name only these). The differences from `rows`, in words: a row printed that is not listed
// and, for a whole run (`whole`), a row listed that was not printed.
std::vector<std::string> unlisted(const std::vector<Row>& rows, const std::string& listFile,
                                  bool whole);

// Time of one byte on the line: 8N1 is 10 bits, at 9600 bits a second.
inline constexpr double kByteMs = 10.0 * 1000.0 / 9600.0;

// Time of a command and its carriage return on the line. The paced module stamps a command when
// its carriage return is in: this taken off the stamp gives when its first byte was on the line.
inline double wireMs(std::string_view command) {
  return static_cast<double>(command.size() + 1) * kByteMs;
}

// Follows the relays' states through the commands the module received, and tells how many bytes
// the module sends back for each: the echo of the command, a line break, the answer, a line break
// and the ">" prompt. The module starts with both relays off.
class ReplyModel {
 public:
  explicit ReplyModel(std::string identification = "KOVRA 78")
      : identification_(std::move(identification)) {}

  // Bytes of the module's reply to `command`, as it stands now; then carries the command out.
  std::size_t take(std::string_view command);
  bool relay(int n) const { return n >= 0 && n < 2 && relays_[n]; }

 private:
  std::string identification_;
  bool relays_[2] = {false, false};
};

}  // namespace bench
