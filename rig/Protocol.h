#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The relay module's command set, framing and reply tests.
namespace rig::protocol {

inline constexpr int kFlashRelay = 0;    // main flash
inline constexpr int kShutterRelay = 1;  // camera shutter

inline constexpr std::string_view kIdGet = "id get";
inline constexpr std::string_view kModuleName = "KOVRA";
// The wider modules of the family (4 to 32 relays) also read and switch all relays at once.
inline constexpr std::string_view kReadAll = "relay readall";
inline constexpr int kMostRelays = 32;

// A relay's number in a command: one character, "0" to "9", then "A" to "V" for relays 10 to 31,
// so every state query echoes in the same 12 characters.
char relayDigit(int relay);
// "relay read 0" / "relay read 1".
std::string readCommand(int relay);
// "relay on 0", "relay off 1", ...
std::string switchCommand(int relay, bool on);
// "relay writeall 0F": every relay at once, bit n relay n, in `digits` upper-case hex digits.
std::string writeAllCommand(std::uint32_t mask, int digits);

// What a reply to "relay readall" says: its echo, a line break, the relays as a hex mask, and the
// line's end. `digits` is the mask's width, four relays a digit.
struct AllRelays {
  std::uint32_t mask = 0;
  int digits = 0;
};
enum class AllReading {
  Mask,         // a hex mask: a module that switches all relays at once
  Refused,      // its echo, then a whole line that is no mask: a module without the command
  Unfinished,   // so far the start of an answer
  NotAnAnswer,  // anything else
};
AllReading readAll(std::string_view reply, AllRelays& relays);

// The identity in the answer to "id get": the line after its echo, when that line has ended.
// Empty when the reply is not laid out so.
std::string identityOf(std::string_view reply);
// The bytes that go on the line: the command text and one carriage return, nothing else.
std::string frame(std::string_view command);

// The identification reply names the module: it contains "KOVRA", case-sensitive.
bool namesModule(std::string_view reply);

// 1-based position of the first "off" in the reply, case-sensitive; 0 when absent.
std::size_t offPosition(std::string_view reply);

// Position of "off" in a reply laid out as the echoed query (12 characters), a two-character
// line break, then the state word.
inline constexpr std::size_t kOffPosition = 15;

// The relay reads as off exactly when the first "off" stands at position 15.
bool readsOff(std::string_view reply);

// What a reply to "relay read N" says. It is understood only when laid out as this query's echo,
// a two-character line break and the state word "on" or "off", whose line has then ended (a line
// break or the prompt), with nothing after it but line breaks and the prompt. For such a reply
// the state is the one readsOff gives.
enum class StateReading {
  Off,
  On,
  Unfinished,  // so far the start of an understood reply: the state word or its line end is due
  NotAState,   // anything else: no echo or another one, two echoes, another word, "OFF"
};
StateReading readState(std::string_view reply, int relay);

// Length of the answer to a switching command at the start of `bytes` ("relay off 1" or no echo,
// then line breaks and the prompt, nothing in between); 0 when it does not start with a whole one.
// Such an answer, arriving late, is never part of a state reply.
std::size_t switchAnswerLength(std::string_view bytes);
// `bytes` are the beginning of such an answer, its prompt yet to come.
bool startsSwitchAnswer(std::string_view bytes);

// A reply looks whole: the echo line and the answer line have both ended, or the ">" prompt
// has arrived. Lets a wait for a reply end as soon as the module has finished talking.
bool looksComplete(std::string_view reply);

// Converts the port selector's text to a 16-bit integer the way the operator would expect:
// surrounding blanks are ignored, a fraction is rounded to the nearest whole number with halves
// going to the even neighbour (2.5 -> 2, 3.5 -> 4). Text that is not a number, and values
// outside -32768..32767, give nothing.
std::optional<std::int16_t> toInteger16(std::string_view text);

// Control characters and backslashes written as C escapes (\r, \n, \x01, \\), so replies and
// commands stay on one line and cannot play tricks on a terminal. With `quotes`, double quotes
// are escaped too, for text shown between them.
std::string escaped(std::string_view text, bool quotes = false);

// The same for text the operator typed, shown back as typed: valid UTF-8 beyond ASCII stays as
// it is ("ü"); control characters (C1 ones too), backslashes and bytes that are no valid UTF-8
// are escaped as above. Raw bytes from the line go through escaped() instead.
std::string escapedText(std::string_view text, bool quotes = false);

}  // namespace rig::protocol
