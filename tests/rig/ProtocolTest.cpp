#include <gtest/gtest.h>

#include "rig/Protocol.h"

namespace protocol = rig::protocol;

TEST(Framing, CommandIsItsTextAndOneCarriageReturn) {
  const std::string line = protocol::frame(protocol::switchCommand(0, true));
  EXPECT_EQ(line, "relay on 0\r");
  EXPECT_EQ(line.size(), 11U);
  EXPECT_EQ(protocol::frame(protocol::readCommand(1)), "relay read 1\r");
  EXPECT_EQ(protocol::switchCommand(1, false), "relay off 1");
}

TEST(ReplyTests, OffCountsOnlyAtPositionFifteen) {
  EXPECT_TRUE(protocol::readsOff("relay read 0\r\noff"));
  EXPECT_TRUE(protocol::readsOff("relay read 1\r\noff\r\n>"));
  EXPECT_FALSE(protocol::readsOff("relay read 0\r\non\r\n>"));
  EXPECT_FALSE(protocol::readsOff("relay read 0\r\nOFF\r\n>"));  // capitals are not "off"
  EXPECT_FALSE(protocol::readsOff("ad 0\r\noff\r\n>"));          // fragment of an earlier echo
  EXPECT_FALSE(protocol::readsOff("relay read 0relay read 0\r\noff"));  // two echoes
  EXPECT_FALSE(protocol::readsOff(""));
  EXPECT_FALSE(protocol::readsOff("relay read 0\r\n"));  // the state word has not arrived
  // Only the first "off" counts.
  EXPECT_FALSE(protocol::readsOff("off read 0\r\noff"));
  EXPECT_EQ(protocol::offPosition("xxoff"), 3U);
  EXPECT_EQ(protocol::offPosition("on"), 0U);
}

TEST(ReplyTests, StateIsReadFromTheEchoALineBreakAndAStateWordWhoseLineHasEnded) {
  using protocol::StateReading;
  const std::pair<const char*, StateReading> cases[] = {
      {"relay read 0\r\noff\r\n>", StateReading::Off},
      {"relay read 0\r\non\r", StateReading::On},
      {"relay read 0\n\roff>", StateReading::Off},
      {"relay read 0\r\no", StateReading::Unfinished},
      {"relay read 0\r\noff", StateReading::Unfinished},  // could still be "offline"
      {"relay read 0 \r\noff\r\n>", StateReading::NotAState},
      {"relay read 0\r\noff \r\n>", StateReading::NotAState},
  };
  for (const auto& [reply, reading] : cases) {
    EXPECT_EQ(protocol::readState(reply, 0), reading) << protocol::escaped(reply);
    // Where the layout is understood, the state is the one the position-15 test gives.
    if (reading != StateReading::Unfinished && reading != StateReading::NotAState) {
      EXPECT_EQ(protocol::readsOff(reply), reading == StateReading::Off) << reply;
    }
  }
}

TEST(ReplyTests, ModuleNameIsCaseSensitiveAndFoundAnywhere) {
  EXPECT_TRUE(protocol::namesModule("KOVRA 78"));
  EXPECT_TRUE(protocol::namesModule("id get\r\nboard KOVRA-2\r\n>"));
  EXPECT_FALSE(protocol::namesModule("kovra 78"));
  EXPECT_FALSE(protocol::namesModule("KOV RA"));
  EXPECT_FALSE(protocol::namesModule(""));
}

TEST(ReplyTests, ReplyIsWholeOnceBothLinesEndedOrThePromptCame) {
  EXPECT_FALSE(protocol::looksComplete(""));
  EXPECT_FALSE(protocol::looksComplete("relay read 0"));
  EXPECT_FALSE(protocol::looksComplete("relay read 0\r\n"));
  EXPECT_FALSE(protocol::looksComplete("relay read 0\r\nof"));
  EXPECT_TRUE(protocol::looksComplete("relay read 0\r\noff\r\n"));
  EXPECT_FALSE(protocol::looksComplete("relay read 0\r\noff\r"));
  EXPECT_TRUE(protocol::looksComplete("relay read 0\noff\n"));
  EXPECT_TRUE(protocol::looksComplete("id get\r\nKOVRA 78\r\n>"));
  EXPECT_TRUE(protocol::looksComplete(">"));
  // Empty lines do not count as answers.
  EXPECT_FALSE(protocol::looksComplete("relay read 0\r\n\r\n\r\n"));
}

TEST(PortNumberText, ConvertsLikeANumberTypedByAPerson) {
  struct Case {
    const char* text;
    std::optional<int> value;
  };
  const Case cases[] = {
      {"3", 3},           {" 7 ", 7},         {"\t7", 7},
      {"2.5", 2},         {"3.5", 4},         {"-2.5", -2},
      {"0.5", 0},         {"1.5", 2},         {"+12", 12},
      {"1e1", 10},        {".5", 0},          {"15.", 15},
      {"32767", 32767},   {"-32768", -32768}, {"-32768.5", -32768},
      {"32767.4", 32767}, {"32767.5", {}},    {"32768", {}},
      {"-32769", {}},     {"1e400", {}},      {"Select Com Port", {}},
      {"automatic", {}},  {"AUTOMATIC ", {}}, {"", {}},
      {"   ", {}},        {"7 7", {}},        {"0x10", {}},
      {"inf", {}},        {"nan", {}},        {"1e", {}},
      {"-", {}},          {".", {}},          {"\xef\xbc\x91", {}},  // a full-width digit one
      {"3\n", {}},        {"1,5", {}},
  };
  for (const Case& c : cases) {
    const auto value = protocol::toInteger16(c.text);
    if (c.value) {
      ASSERT_TRUE(value.has_value()) << '"' << c.text << '"';
      EXPECT_EQ(*value, *c.value) << '"' << c.text << '"';
    } else {
      EXPECT_FALSE(value.has_value()) << '"' << c.text << '"';
    }
  }
  EXPECT_FALSE(protocol::toInteger16(std::string(100000, '9')).has_value());
}

TEST(Escaped, KeepsEveryReplyOnOneUnambiguousLine) {
  EXPECT_EQ(protocol::escaped("id get\r\nKOVRA 78\r\n>"), "id get\\r\\nKOVRA 78\\r\\n>");
  EXPECT_EQ(protocol::escaped(std::string("a\x01\x1b\x7f\xff\tb", 7)), "a\\x01\\x1b\\x7f\\xff\\tb");
  EXPECT_EQ(protocol::escaped("\\r"), "\\\\r") << "a backslash must not pass for an escape";
  EXPECT_EQ(protocol::escaped("say \"x\""), "say \"x\"");
  EXPECT_EQ(protocol::escaped("say \"x\"", true), "say \\\"x\\\"");
  EXPECT_EQ(protocol::escaped("\xc3\xbc"), "\\xc3\\xbc") << "bytes from the line stay escaped";
}

TEST(Escaped, TypedTextKeepsItsCharactersButNotItsControls) {
  // Two-, three- and four-byte characters come back as typed.
  EXPECT_EQ(protocol::escapedText("\xc3\xbc \xe2\x82\xac \xf0\x9f\x93\xb7"),
            "\xc3\xbc \xe2\x82\xac \xf0\x9f\x93\xb7");
  EXPECT_EQ(protocol::escapedText("\"\\\x01\n", true), "\\\"\\\\\\x01\\n");
  // C1 control (CSI), right-to-left override, line separator: escaped byte for byte.
  EXPECT_EQ(protocol::escapedText("\xc2\x9b\xe2\x80\xae\xe2\x80\xa8"),
            "\\xc2\\x9b\\xe2\\x80\\xae\\xe2\\x80\\xa8");
  // Not UTF-8: a lone continuation byte, a cut sequence, an overlong '/', a surrogate, past
  // U+10FFFF. Each byte is escaped; what follows is read afresh.
  EXPECT_EQ(protocol::escapedText("\x80 \xc3"), "\\x80 \\xc3");
  EXPECT_EQ(protocol::escapedText("\xe2\x82x"), "\\xe2\\x82x");
  EXPECT_EQ(protocol::escapedText("\xc0\xaf"), "\\xc0\\xaf");
  EXPECT_EQ(protocol::escapedText("\xed\xa0\x80"), "\\xed\\xa0\\x80");
  EXPECT_EQ(protocol::escapedText("\xf4\x90\x80\x80\xc3\xbc"), "\\xf4\\x90\\x80\\x80\xc3\xbc");
}
