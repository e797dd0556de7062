#include "Stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <set>

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

std::string firstLine(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(key)) {
      const auto colon = line.find(':');
      return colon == std::string::npos ? line
                                        : line.substr(line.find_first_not_of(" \t", colon + 1));
    }
  }
  return "unknown";
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  double one = 0, five = 0, fifteen = 0;
  in >> one >> five >> fifteen;
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", one, five, fifteen);
  return text;
}

std::string measuredOn() {
  const auto run = [](const std::string& command) {
    std::string out;
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) return out;
    char buffer[128];
    while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) out += buffer;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
  };
  const std::string git = "git -C '" QUILLMAR_SOURCE_DIR "' ";
  std::string commit = run(git + "rev-parse --short=12 HEAD 2>/dev/null");
  if (commit.empty()) commit = "unknown";
  if (!run(git + "status --porcelain --untracked-files=no 2>/dev/null").empty()) {
    commit += " with uncommitted changes";
  }
  char date[64];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  return "Measured on commit " + commit + ", " + date + ", load average " + loadAverage() +
         " at the start.";
}

std::vector<std::string> unlisted(const std::vector<Row>& rows, const std::string& listFile,
                                  bool whole) {
  std::set<std::string> listed;
  std::ifstream in(listFile);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.front() != '#') listed.insert(line);
  }
  std::vector<std::string> differences;
  std::set<std::string> printed;
  for (const Row& row : rows) {
    printed.insert(row.measurement);
    if (listed.count(row.measurement) == 0) {
      differences.push_back("row not in " + listFile + ": " + row.measurement);
    }
  }
  for (const std::string& name : listed) {
    if (whole && printed.count(name) == 0) {
      differences.push_back("row in " + listFile + " not printed: " + name);
    }
  }
  return differences;
}

}  // namespace bench
