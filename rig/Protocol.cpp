#include "Protocol.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace rig::protocol {

char relayDigit(int relay) {
  constexpr int kDecimal = 10;
  if (relay >= 0 && relay < kDecimal) return static_cast<char>('0' + relay);
  if (relay >= kDecimal && relay < kMostRelays) return static_cast<char>('A' + (relay - kDecimal));
  throw std::out_of_range("relay number " + std::to_string(relay));
}

std::string readCommand(int relay) { return std::string("relay read ") + relayDigit(relay); }

std::string switchCommand(int relay, bool on) {
  return std::string(on ? "relay on " : "relay off ") + relayDigit(relay);
}

std::string writeAllCommand(std::uint32_t mask, int digits) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%0*X", std::clamp(digits, 1, kMostRelays / 4),
                static_cast<unsigned>(mask));
  return std::string("relay writeall ") + hex;
}

namespace {

// The line after the echo of `command` at the start of `reply`: the text up to the next line
// break. Nothing when the reply does not start with the echo and a line break, or that line has
// not ended yet (a line break or the prompt).
std::optional<std::string_view> answerLine(std::string_view reply, std::string_view command) {
  if (!reply.starts_with(command)) return std::nullopt;
  const std::size_t start = reply.find_first_not_of("\r\n", command.size());
  if (start == command.size() || start == std::string_view::npos) return std::nullopt;
  const std::size_t end = reply.find_first_of("\r\n>", start);
  if (end == std::string_view::npos) return std::nullopt;
  return reply.substr(start, end - start);
}

}  // namespace

AllReading readAll(std::string_view reply, AllRelays& relays) {
  if (!reply.starts_with(kReadAll)) {
    return kReadAll.starts_with(reply) ? AllReading::Unfinished : AllReading::NotAnAnswer;
  }
  if (reply.size() > kReadAll.size() && reply[kReadAll.size()] != '\r' &&
      reply[kReadAll.size()] != '\n') {
    return AllReading::NotAnAnswer;  // another command that starts the same
  }
  const auto line = answerLine(reply, kReadAll);
  if (!line) return AllReading::Unfinished;
  const bool hex = !line->empty() && line->size() <= static_cast<std::size_t>(kMostRelays / 4) &&
                   line->find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
  if (!hex) return AllReading::Refused;
  std::uint32_t mask = 0;
  std::from_chars(line->data(), line->data() + line->size(), mask, 16);
  relays = AllRelays{mask, static_cast<int>(line->size())};
  return AllReading::Mask;
}

std::string identityOf(std::string_view reply) {
  const auto line = answerLine(reply, kIdGet);
  return line ? std::string(*line) : std::string();
}

std::string frame(std::string_view command) {
  std::string line(command);
  line += '\r';
  return line;
}

bool namesModule(std::string_view reply) {
  return reply.find(kModuleName) != std::string_view::npos;
}

std::size_t offPosition(std::string_view reply) {
  const auto at = reply.find("off");
  return at == std::string_view::npos ? 0 : at + 1;
}

bool readsOff(std::string_view reply) { return offPosition(reply) == kOffPosition; }

StateReading readState(std::string_view reply, int relay) {
  const std::string echo = readCommand(relay);
  // Up to the state word: the echo, character for character, then two line-break characters.
  const std::size_t head = echo.size() + 2;
  for (std::size_t i = 0; i < std::min(reply.size(), head); ++i) {
    const char c = reply[i];
    const bool expected = i < echo.size() ? c == echo[i] : c == '\r' || c == '\n';
    if (!expected) return StateReading::NotAState;
  }
  if (reply.size() <= head) return StateReading::Unfinished;

  const std::string_view rest = reply.substr(head);
  for (const std::string_view word : {std::string_view("off"), std::string_view("on")}) {
    if (rest.size() < word.size()) {
      if (word.starts_with(rest)) return StateReading::Unfinished;
      continue;
    }
    if (!rest.starts_with(word)) continue;
    const std::string_view after = rest.substr(word.size());
    // Until its line has ended the word may go on ("online").
    if (after.empty()) return StateReading::Unfinished;
    if (after.find_first_not_of("\r\n>") != std::string_view::npos) return StateReading::NotAState;
    return word == "off" ? StateReading::Off : StateReading::On;
  }
  return StateReading::NotAState;
}

std::size_t switchAnswerLength(std::string_view bytes) {
  std::size_t at = 0;
  for (const int relay : {kFlashRelay, kShutterRelay}) {
    for (const bool on : {true, false}) {
      const std::string echo = switchCommand(relay, on);
      if (bytes.starts_with(echo)) at = echo.size();
    }
  }
  const std::size_t breaks = bytes.find_first_not_of("\r\n", at);
  if (breaks == std::string_view::npos || breaks == at || bytes[breaks] != '>') return 0;
  return breaks + 1;
}

bool startsSwitchAnswer(std::string_view bytes) {
  if (bytes.empty()) return false;
  std::size_t at = 0;
  for (const int relay : {kFlashRelay, kShutterRelay}) {
    for (const bool on : {true, false}) {
      const std::string echo = switchCommand(relay, on);
      if (echo.starts_with(bytes)) return true;
      if (bytes.starts_with(echo)) at = echo.size();
    }
  }
  return bytes.find_first_not_of("\r\n", at) == std::string_view::npos;
}

bool looksComplete(std::string_view reply) {
  if (reply.find('>') != std::string_view::npos) return true;
  // Count the lines that have ended: the echo of the command and the module's answer.
  int endedLines = 0;
  bool lineHasText = false;
  for (std::size_t i = 0; i < reply.size(); ++i) {
    const char c = reply[i];
    if (c == '\r' && i + 1 == reply.size()) break;  // its line feed may still be on the way
    if (c == '\r' || c == '\n') {
      if (c == '\r' && reply[i + 1] == '\n') ++i;
      if (lineHasText) ++endedLines;
      lineHasText = false;
    } else {
      lineHasText = true;
    }
  }
  return endedLines >= 2;
}

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Accepts [sign] digits [. digits] [exponent], or [sign] . digits [exponent]; nothing else.
bool isDecimalNumber(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < s.size() && isDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && isDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exponentDigits = 0;
    while (i < s.size() && isDigit(s[i])) ++i, ++exponentDigits;
    if (exponentDigits == 0) return false;
  }
  return i == s.size();
}

}  // namespace

std::optional<std::int16_t> toInteger16(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  if (!isDecimalNumber(text)) return std::nullopt;

  // from_chars takes no leading '+'.
  if (text.front() == '+') text.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  // The default rounding mode sends halves to the even neighbour.
  const double rounded = std::nearbyint(value);
  if (rounded < -32768.0 || rounded > 32767.0) return std::nullopt;
  return static_cast<std::int16_t>(rounded);
}

namespace {

// Length of the UTF-8 sequence at the start of `text` when it is a valid, printable character
// beyond ASCII; 0 for anything else: stray or truncated bytes, overlong forms, surrogates, code
// points past U+10FFFF, the C1 controls U+0080..U+009F that some terminals obey, and the line
// separators and direction marks that would break the line or reorder what it shows.
std::size_t printableUtf8Length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  char32_t code = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    code = lead & 0x1fU;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    code = lead & 0x0fU;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    code = lead & 0x07U;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0U) != 0x80U) return 0;
    code = (code << 6U) | (byte(i) & 0x3fU);
  }
  constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};  // by sequence length
  const bool invisibleControl = code == 0x200e || code == 0x200f ||
                                (code >= 0x2028 && code <= 0x202e) ||
                                (code >= 0x2066 && code <= 0x2069);
  if (code < kShortest[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff) ||
      code < 0xa0 || invisibleControl) {
    return 0;
  }
  return length;
}

std::string escape(std::string_view text, bool quotes, bool keepUtf8) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += quotes ? "\\\"" : "\"";
        break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          out += static_cast<char>(c);
        } else if (const std::size_t length = keepUtf8 ? printableUtf8Length(text.substr(i)) : 0;
                   length > 0) {
          out += text.substr(i, length);
          i += length - 1;
        } else {
          char code[8];
          std::snprintf(code, sizeof code, "\\x%02x", c);
          out += code;
        }
    }
  }
  return out;
}

}  // namespace

std::string escaped(std::string_view text, bool quotes) { return escape(text, quotes, false); }

std::string escapedText(std::string_view text, bool quotes) { return escape(text, quotes, true); }

}  // namespace rig::protocol
