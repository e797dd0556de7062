#include "Stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace bench {

Summary summarize(std::vector<double> samples) {
  Summary s;
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  const std::size_t n = samples.size();
  s.count = n;
  s.min = samples.front();
  s.max = samples.back();
  s.median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
  // Nearest rank; the rank is computed in whole hundredths so 0.99 * 100 is exactly 99.
  const std::size_t rank = (99 * n + 99) / 100;
  s.p99 = samples[std::clamp<std::size_t>(rank, 1, n) - 1];
  return s;
}

namespace {

std::string number(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace

std::string markdownTable(const std::vector<Row>& rows) {
  std::string out =
      "| Measurement | n | Min | Median | p99 | Max | Target | Met |\n"
      "| --- | ---: | ---: | ---: | ---: | ---: | --- | --- |\n";
  for (const Row& row : rows) {
    const Summary& s = row.summary;
    out += "| " + row.measurement + " | " + std::to_string(s.count) + " | ";
    if (s.count == 0) {
      out += "- | - | - | - | ";
    } else {
      for (const double value : {s.min, s.median, s.p99, s.max}) {
        out += number(value, row.decimals) + " | ";
      }
    }
    out += (row.target.empty() ? "-" : row.target) + " | ";
    out += row.met ? (*row.met ? "yes" : "**no**") : "-";
    out += " |\n";
  }
  return out;
}

std::size_t ReplyModel::take(std::string_view command) {
  // Echo, "\r\n", answer, "\r\n>".
  constexpr std::size_t kFraming = 2 + 3;
  auto relayOf = [&](std::string_view prefix) -> int {
    if (!command.starts_with(prefix) || command.size() != prefix.size() + 1) return -1;
    const char digit = command.back();
    return digit == '0' || digit == '1' ? digit - '0' : -1;
  };
  if (command == "id get") return command.size() + kFraming + identification_.size();
  if (const int n = relayOf("relay read "); n >= 0) {
    return command.size() + kFraming + (relays_[n] ? 2 : 3);
  }
  if (const int n = relayOf("relay on "); n >= 0) {
    relays_[n] = true;
    return command.size() + kFraming;
  }
  if (const int n = relayOf("relay off "); n >= 0) {
    relays_[n] = false;
    return command.size() + kFraming;
  }
  return command.size() + kFraming + 5;  // "ERROR"
}

}  // namespace bench
