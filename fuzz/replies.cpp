// Fuzz target for the reply tests: each must agree with a plain reference and never read past
// the reply it is given.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "rig/Protocol.h"

namespace {

void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

// 1-based position of the first occurrence of `word`, 0 when absent.
std::size_t firstAt(std::string_view text, std::string_view word) {
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (text.substr(i, word.size()) == word) return i + 1;
  }
  return 0;
}

// Whole when a prompt has come, or when two lines with text in them have ended. A carriage return
// at the very end does not end its line yet: its line feed may still be on the way.
bool referenceComplete(std::string_view reply) {
  for (const char c : reply) {
    if (c == '>') return true;
  }
  if (!reply.empty() && reply.back() == '\r') reply.remove_suffix(1);
  int ended = 0;
  bool text = false;
  for (std::size_t i = 0; i < reply.size(); ++i) {
    if (reply[i] != '\r' && reply[i] != '\n') {
      text = true;
      continue;
    }
    if (text) ++ended;
    text = false;
    if (reply[i] == '\r' && i + 1 < reply.size() && reply[i + 1] == '\n') ++i;
  }
  return ended >= 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace protocol = rig::protocol;
  const std::string_view reply(reinterpret_cast<const char*>(data), size);

  const std::size_t off = protocol::offPosition(reply);
  check(off == firstAt(reply, "off"), "offPosition is the first \"off\"");
  check(protocol::readsOff(reply) == (off == protocol::kOffPosition), "readsOff is position 15");
  check(protocol::namesModule(reply) == (firstAt(reply, protocol::kModuleName) != 0),
        "namesModule finds the name");

  const bool whole = protocol::looksComplete(reply);
  check(whole == referenceComplete(reply), "looksComplete agrees with the reference");
  // More bytes never make a whole reply look unfinished again.
  for (std::size_t cut = 0; cut <= size; cut += 1 + size / 16) {
    if (protocol::looksComplete(reply.substr(0, cut))) check(whole, "looksComplete is monotonic");
  }
  return 0;
}
