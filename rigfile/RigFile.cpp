#include "RigFile.h"

#include <toml++/toml.h>
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "args/Arguments.h"
#include "rig/RegularFile.h"

namespace rigfile {

namespace {

// Far more than any rig's description: a larger file is a mistake, not a rig.
constexpr std::size_t kMostBytes = std::size_t{1} << 20;

std::string where(const std::string& file, int line, const std::string& field) {
  std::string text = file;
  if (line > 0) text += ":" + std::to_string(line);
  if (!field.empty()) text += ": " + field;
  return text;
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The field a key = value line of the text gives, for the TOML library's errors, which name the
// line alone ("cameras[2].delay_ms" for an integer past 64 bits); empty for any other line. The
// table headers above it are read as written, so a header inside a multi-line string misleads.
std::string fieldAt(std::string_view text, int line) {
  std::string table;
  std::map<std::string, int, std::less<>> entries;  // [[array]] headers seen so far, by name
  for (int at = 1; !text.empty(); ++at) {
    const auto end = text.find('\n');
    const std::string_view row = trimmed(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (at == line) {
      const auto equals = row.find('=');
      if (row.empty() || row[0] == '[' || row[0] == '#' || equals == std::string_view::npos) {
        return {};
      }
      if (!table.empty()) table += '.';
      return table.append(trimmed(row.substr(0, equals)));
    }
    if (row.starts_with("[[")) {
      const std::string name(trimmed(row.substr(2, row.find("]]") - 2)));
      table = name + "[" + std::to_string(entries[name]++) + "]";
    } else if (row.starts_with("[")) {
      table = trimmed(row.substr(1, row.find(']') - 1));
    }
  }
  return {};
}

std::chrono::milliseconds toMillis(rig::Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d);
}

// A time as a rig file gives it: whole seconds in s, anything else in ms.
std::string withUnitText(std::chrono::milliseconds time) {
  const auto ms = time.count();
  return ms != 0 && ms % 1000 == 0 ? std::to_string(ms / 1000) + "s" : std::to_string(ms) + "ms";
}

using args::TimeText;

int lineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

// Reads one file's text into a description, keeping what the checks need: where each name and
// line was given.
class Reader {
 public:
  Reader(const toml::table& root, std::string path) : root_(root), path_(std::move(path)) {}

  rig::RigDescription read() {
    onlyKeys(root_, "", {"timings", "boards", "cameras", "flashes"});
    if (const toml::node* timings = root_.get("timings")) readTimings(table(*timings, "timings"));
    const toml::node* boards = root_.get("boards");
    if (boards == nullptr) fail(0, "boards", "a rig file names at least one board");
    // In the file's order, so that a mistake is told where it was made, and the rig is
    // described as written.
    std::vector<std::pair<std::string, const toml::node*>> inOrder;
    for (auto&& [key, node] : table(*boards, "boards")) inOrder.emplace_back(key.str(), &node);
    std::stable_sort(inOrder.begin(), inOrder.end(), [](const auto& a, const auto& b) {
      return lineOf(*a.second) < lineOf(*b.second);
    });
    for (const auto& [name, node] : inOrder) readBoard(name, table(*node, "boards." + name));
    if (rig_.boards.empty()) fail(lineOf(*boards), "boards", "a rig file names at least one board");
    const toml::node* cameras = root_.get("cameras");
    if (cameras == nullptr) fail(0, "cameras", "a rig file names at least one camera");
    readEach(*cameras, "cameras", [this](const toml::table& entry, const std::string& field) {
      readCamera(entry, field);
    });
    if (const toml::node* flashes = root_.get("flashes")) {
      readEach(*flashes, "flashes", [this](const toml::table& entry, const std::string& field) {
        readFlash(entry, field);
      });
    }
    return rig_;
  }

 private:
  [[noreturn]] void fail(int line, const std::string& field, const std::string& message) const {
    throw RigFileError(path_, line, field, message);
  }

  const toml::table& table(const toml::node& node, const std::string& field) const {
    const toml::table* t = node.as_table();
    if (t == nullptr) fail(lineOf(node), field, "wants a table");
    return *t;
  }

  // An unknown key is a mistake (a misspelt "delay_ms" would otherwise be silently 0).
  void onlyKeys(const toml::table& t, const std::string& prefix,
                std::initializer_list<std::string_view> known) const {
    for (auto&& [key, node] : t) {
      if (std::find(known.begin(), known.end(), key.str()) != known.end()) continue;
      std::string names;
      for (const std::string_view k : known) names += (names.empty() ? "" : ", ") + std::string(k);
      fail(static_cast<int>(key.source().begin.line), prefix + std::string(key.str()),
           "unknown key (known here: " + names + ")");
    }
  }

  template <typename Each>
  void readEach(const toml::node& node, const std::string& field, Each each) const {
    const toml::array* entries = node.as_array();
    if (entries == nullptr) fail(lineOf(node), field, "wants [[" + field + "]] entries");
    std::size_t i = 0;
    for (const toml::node& entry : *entries) {
      const std::string name = field + "[" + std::to_string(i++) + "]";
      each(table(entry, name), name);
    }
  }

  std::string text(const toml::table& t, const std::string& prefix, std::string_view key,
                   bool required = true) const {
    const toml::node* node = t.get(key);
    if (node == nullptr) {
      if (required) fail(lineOf(t), prefix + "." + std::string(key), "missing");
      return {};
    }
    const auto value = node->value<std::string>();
    if (!node->is_string() || !value || value->empty()) {
      fail(lineOf(*node), prefix + "." + std::string(key), "wants a non-empty string");
    }
    return *value;
  }

  std::optional<std::int64_t> integer(const toml::table& t, const std::string& prefix,
                                      std::string_view key, std::int64_t least,
                                      std::int64_t most) const {
    const toml::node* node = t.get(key);
    if (node == nullptr) return std::nullopt;
    const std::string field = prefix + "." + std::string(key);
    if (!node->is_integer()) fail(lineOf(*node), field, "wants a whole number");
    const std::int64_t value = *node->value<std::int64_t>();
    if (value < least || value > most) {
      fail(lineOf(*node), field,
           "wants " + std::to_string(least) + " to " + std::to_string(most) + ", not " +
               std::to_string(value));
    }
    return value;
  }

  // A time: under `key` with its unit ("200ms", "0.2s"), or under `key`_ms in whole
  // milliseconds, not both; nothing when neither is there.
  struct Time {
    std::chrono::milliseconds value;
    int line;
    std::string field;
  };
  std::optional<Time> time(const toml::table& t, const std::string& prefix, const std::string& key,
                           std::chrono::milliseconds most) const {
    const std::string inMs = key + "_ms";
    const toml::node* withUnit = t.get(key);
    const toml::node* plain = t.get(inMs);
    if (withUnit != nullptr && plain != nullptr) {
      const bool unitLater = lineOf(*withUnit) > lineOf(*plain);
      const std::string& later = unitLater ? key : inMs;
      fail(lineOf(unitLater ? *withUnit : *plain), prefix + "." + later,
           "the time is given already by " + (unitLater ? inMs : key) + " (line " +
               std::to_string(lineOf(unitLater ? *plain : *withUnit)) + "); give one");
    }
    if (plain != nullptr) {
      return Time{std::chrono::milliseconds(*integer(t, prefix, inMs, 0, most.count())),
                  lineOf(*plain), prefix + "." + inMs};
    }
    if (withUnit == nullptr) return std::nullopt;
    const int line = lineOf(*withUnit);
    const std::string field = prefix + "." + key;
    const auto text = withUnit->value<std::string>();
    const TimeText parsed = withUnit->is_string() ? args::timeWithUnit(*text) : TimeText{};
    if (!parsed.time) {
      std::string given;
      if (text) given = ", not '" + *text + "'";
      if (const auto number = withUnit->value<std::int64_t>(); number && withUnit->is_integer()) {
        given = ", not " + std::to_string(*number) + " (or " + inMs + " = " +
                std::to_string(*number) + " in milliseconds)";
      }
      fail(line, field,
           R"(wants a time with its unit, ms or s, such as "200ms" or "0.2s")" + given);
    }
    if (!parsed.whole) fail(line, field, "wants whole milliseconds, not '" + *text + "'");
    if (parsed.ms > static_cast<std::uint64_t>(most.count())) {
      fail(line, field, "wants 0 to " + withUnitText(most) + ", not '" + *text + "'");
    }
    return Time{std::chrono::milliseconds(parsed.ms), line, field};
  }

  void readTimings(const toml::table& t) {
    onlyKeys(t, "timings.", {"focus", "pulse", "pause", "focus_ms", "pulse_ms", "pause_ms"});
    rig::RigTimings& timings = rig_.timings;
    if (const auto focus = time(t, "timings", "focus", rig::kLongestFocus)) {
      timings.focus = focus->value;
    }
    if (const auto pulse = time(t, "timings", "pulse", toMillis(rig::kLongestPulse))) {
      if (pulse->value.count() == 0) fail(pulse->line, pulse->field, "wants more than 0");
      timings.pulse = pulse->value;
    }
    if (const auto pause = time(t, "timings", "pause", toMillis(rig::kLongestPause))) {
      timings.pause = pause->value;
    }
  }

  void readBoard(const std::string& name, const toml::table& t) {
    const std::string field = "boards." + name;
    onlyKeys(t, field + ".", {"board", "relays"});
    const std::string boardText = text(t, field, "board");
    const auto board = rig::parseBoardName(boardText);
    const int line = lineOf(*t.get("board"));
    if (!board) {
      std::string kinds;
      for (const std::string_view kind : rig::kBoardKinds) {
        kinds += (kinds.empty() ? "" : ", ") + std::string(kind);
      }
      fail(line, field + ".board",
           "wants KIND:IDENTITY with a kind of " + kinds + ", not '" + boardText + "'");
    }
    if (const std::string problem = rig::identityProblem(*board); !problem.empty()) {
      fail(line, field + ".board", problem);
    }
    for (const rig::RigBoard& other : rig_.boards) {
      if (other.board == board) {
        fail(line, field + ".board",
             "names the board " + board->text() + " that boards." + other.name + " names already");
      }
      // One device under two names would be opened, and switched, as two boards.
      if (other.board && rig::sameBoard(*other.board, *board)) {
        fail(line, field + ".board",
             "names the device that boards." + other.name + " names already, as " +
                 other.board->text());
      }
    }
    rig::RigBoard entry{name, board, std::nullopt};
    if (const auto relays = integer(t, field, "relays", 1, rig::kMostRelays)) {
      if (!rig::relayCountFits(board->kind, static_cast<int>(*relays))) {
        fail(lineOf(*t.get("relays")), field + ".relays",
             "a " + board->kind + " board has " + rig::relayCounts(board->kind) + " relays, not " +
                 std::to_string(*relays));
      }
      entry.relays = static_cast<int>(*relays);
    }
    rig_.boards.push_back(std::move(entry));
  }

  // "board:relay", on a board of this file, and on no other role's line.
  rig::RelayLine relayLine(const toml::table& t, const std::string& prefix, std::string_view key,
                           const std::string& role) {
    const std::string value = text(t, prefix, key);
    const int line = lineOf(*t.get(key));
    const std::string field = prefix + "." + std::string(key);
    const auto colon = value.rfind(':');
    int relay = -1;
    if (colon != std::string::npos) {
      const char* end = value.data() + value.size();
      const auto [stop, ec] = std::from_chars(value.data() + colon + 1, end, relay);
      if (ec != std::errc() || stop != end) relay = -1;
    }
    if (colon == std::string::npos || colon == 0 || relay < 0) {
      fail(line, field, "wants BOARD:RELAY, such as \"top:0\", not '" + value + "'");
    }
    rig::RelayLine result{value.substr(0, colon), relay};
    const auto board = std::find_if(rig_.boards.begin(), rig_.boards.end(),
                                    [&](const rig::RigBoard& b) { return b.name == result.board; });
    if (board == rig_.boards.end()) {
      fail(line, field, "names the board '" + result.board + "', which [boards] does not have");
    }
    // A board without a count has at most its kind's.
    const int relays = board->relays.value_or(board->board ? rig::mostRelays(board->board->kind)
                                                           : rig::kMostRelays);
    if (relay >= relays) {
      fail(line, field,
           "relay " + std::to_string(relay) + " is not on " + result.board + " (relays 0 to " +
               std::to_string(relays - 1) + ")");
    }
    const auto [used, fresh] =
        used_.try_emplace(result.text(), role + " (line " + std::to_string(line) + ")");
    if (!fresh) fail(line, field, result.text() + " is already " + used->second);
    return result;
  }

  // A camera's or flash's name, usable from every channel: --cameras lists names with commas, and
  // one of blanks or with control characters could be neither typed nor shown.
  std::string roleName(const toml::table& t, const std::string& prefix) const {
    std::string name = text(t, prefix, "name");
    const int line = lineOf(*t.get("name"));
    if (name.find_first_not_of(" \t") == std::string::npos) {
      fail(line, prefix + ".name", "wants a name, not only blanks");
    }
    if (std::ranges::any_of(name, [](char c) { return (c >= 0 && c < ' ') || c == 0x7f; })) {
      fail(line, prefix + ".name", "a name cannot hold control characters (tabs, line ends, ...)");
    }
    if (name.find(',') != std::string::npos) {
      fail(line, prefix + ".name",
           "a name cannot hold a comma: --cameras separates names with commas");
    }
    return name;
  }

  void uniqueName(const std::string& kind, const std::string& name, int line,
                  const std::string& field) {
    if (!names_.insert(kind + ":" + name).second) {
      fail(line, field, "a second " + kind + " named '" + name + "'");
    }
  }

  void readCamera(const toml::table& t, const std::string& field) {
    onlyKeys(t, field + ".", {"name", "shutter", "focus", "delay", "delay_ms"});
    rig::RigCamera camera;
    camera.name = roleName(t, field);
    uniqueName("camera", camera.name, lineOf(*t.get("name")), field + ".name");
    camera.shutter = relayLine(t, field, "shutter", "camera " + camera.name + "'s shutter");
    if (t.get("focus") != nullptr) {
      camera.focus = relayLine(t, field, "focus", "camera " + camera.name + "'s focus");
    }
    if (const auto delay = time(t, field, "delay", rig::kLongestDelay)) camera.delay = delay->value;
    rig_.cameras.push_back(std::move(camera));
  }

  void readFlash(const toml::table& t, const std::string& field) {
    onlyKeys(t, field + ".", {"name", "line"});
    rig::RigFlash flash;
    flash.name = roleName(t, field);
    uniqueName("flash", flash.name, lineOf(*t.get("name")), field + ".name");
    flash.line = relayLine(t, field, "line", "flash " + flash.name + "'s line");
    rig_.flashes.push_back(std::move(flash));
  }

  const toml::table& root_;
  std::string path_;
  rig::RigDescription rig_;
  std::map<std::string, std::string> used_;  // each line given, and to which role
  std::set<std::string> names_;
};

}  // namespace

RigFileError::RigFileError(std::string file, int line, std::string field,
                           const std::string& message)
    : std::runtime_error(where(file, line, field) + ": " + message),
      file_(std::move(file)),
      line_(line),
      field_(std::move(field)) {}

rig::RigDescription parse(std::string_view text, const std::string& path) {
  toml::table root;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error& error) {
    const int line = static_cast<int>(error.source().begin.line);
    throw RigFileError(path, line, fieldAt(text, line), std::string(error.description()));
  }
  rig::RigDescription rig = Reader(root, path).read();
  if (rig.cameras.empty())
    throw RigFileError(path, 0, "cameras", "a rig file names at least one camera");
  // Every channel names the rig by its file, as the photographer knows it.
  rig.file = std::filesystem::path(path).filename().string();
  return rig;
}

rig::RigDescription read(const std::string& path) {
  std::string text;
  try {
    text = rig::readRegularFile(path, kMostBytes);
  } catch (const rig::FileReadError& error) {
    throw RigFileError(path, 0, "", error.what());
  }
  return parse(text, path);
}

}  // namespace rigfile
