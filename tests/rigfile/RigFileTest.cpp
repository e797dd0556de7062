#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "rigfile/RigFile.h"

namespace {

using rigfile::parse;
using rigfile::RigFileError;

constexpr const char* kBoard = "[boards.top]\nboard = \"text:/dev/ttyUSB0\"\nrelays = 8\n";

// The guide's examples are what new users copy: each must read, and describe what it says.
TEST(RigFile, TheGuidesExamplesRead) {
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(EXAMPLES_DIR)) {
    if (entry.path().extension() != ".toml") continue;
    SCOPED_TRACE(entry.path().string());
    const rig::RigDescription rig = rigfile::read(entry.path().string());
    EXPECT_FALSE(rig.cameras.empty());
    ++files;
  }
  EXPECT_EQ(files, 3);
}

TEST(RigFile, ReadsCamerasFocusDelaysFlashesAndTimings) {
  const rig::RigDescription rig = parse(std::string(kBoard) + R"(
[timings]
focus_ms = 250
pulse_ms = 3600000

[[cameras]]
name = "left"
shutter = "top:1"
focus = "top:0"
delay_ms = 12

[[cameras]]
name = "right"
shutter = "top:3"

[[flashes]]
name = "key"
line = "top:7"
)",
                                        "rig.toml");
  ASSERT_EQ(rig.cameras.size(), 2U);
  EXPECT_EQ(rig.cameras[0].shutter, (rig::RelayLine{"top", 1}));
  EXPECT_EQ(rig.cameras[0].focus, (rig::RelayLine{"top", 0}));
  EXPECT_EQ(rig.cameras[0].delay.count(), 12);
  EXPECT_FALSE(rig.cameras[1].focus);
  EXPECT_EQ(rig.flashes.at(0).line, (rig::RelayLine{"top", 7}));
  EXPECT_EQ(rig.timings.focus.count(), 250);
  EXPECT_EQ(rig.timings.pulse.count(), 3600000) << "a bulb exposure of an hour";
  EXPECT_EQ(rig.timings.pause.count(), 500) << "not given: the half second";
  ASSERT_EQ(rig.boards.size(), 1U);
  EXPECT_EQ(rig.boards[0].board, (rig::BoardName{"text", "/dev/ttyUSB0"}));
}

// Times with their units: each form the guide gives, and the _ms keys beside them.
TEST(RigFile, TimesAreReadWithTheirUnits) {
  const std::pair<std::string, int> cases[] = {
      {"\"200ms\"", 200},  {"\"0.2s\"", 200},   {"\"2s\"", 2000},       {"\"1500ms\"", 1500},
      {"\"1.5 s\"", 1500}, {"\"0.250s\"", 250}, {"\"3600s\"", 3600000}, {"\"1.0ms\"", 1}};
  for (const auto& [time, ms] : cases) {
    SCOPED_TRACE(time);
    const rig::RigDescription rig =
        parse(std::string(kBoard) + "[timings]\npulse = " + time +
                  "\n[[cameras]]\nname = \"c\"\nshutter = \"top:1\"\ndelay = \"12ms\"\n",
              "rig.toml");
    EXPECT_EQ(rig.timings.pulse.count(), ms);
    EXPECT_EQ(rig.cameras.at(0).delay.count(), 12);
  }
}

// Every mistake is told by file, line and field before any shot, never taken as a default.
TEST(RigFile, MistakesAreNamedByLineAndField) {
  struct Case {
    std::string body;
    int line;
    std::string field;
    std::string words;
  };
  const std::string camera = "[[cameras]]\nname = \"c\"\nshutter = \"top:1\"\n";  // lines 4-6
  const Case cases[] = {
      {camera + "dealy_ms = 5\n", 7, "cameras[0].dealy_ms", "unknown key"},
      {camera + "[[flashes]]\nname = \"f\"\nline = \"top:1\"\n", 9, "flashes[0].line",
       "already camera c's shutter (line 6)"},
      {camera + "focus = \"top:1\"\n", 7, "cameras[0].focus", "already camera c's shutter"},
      {camera + "[[cameras]]\nname = \"c\"\nshutter = \"top:2\"\n", 8, "cameras[1].name",
       "a second camera named 'c'"},
      {"[[cameras]]\nname = \"c\"\nshutter = \"side:1\"\n", 6, "cameras[0].shutter",
       "board 'side', which [boards] does not have"},
      {"[[cameras]]\nname = \"c\"\nshutter = \"top:8\"\n", 6, "cameras[0].shutter",
       "relays 0 to 7"},
      {"[[cameras]]\nname = \"c\"\nshutter = \"top\"\n", 6, "cameras[0].shutter", "BOARD:RELAY"},
      {"[[cameras]]\nname = \"c\"\nshutter = \"top:-1\"\n", 6, "cameras[0].shutter", "BOARD:RELAY"},
      {"[[cameras]]\nname = \"c\"\nshutter = 1\n", 6, "cameras[0].shutter", "string"},
      {camera + "delay_ms = 1.5\n", 7, "cameras[0].delay_ms", "whole number"},
      {camera + "[timings]\npulse_ms = 3600001\n", 8, "timings.pulse_ms", "0 to 3600000"},
      {camera + "[timings]\npulse_ms = 0\n", 8, "timings.pulse_ms", "more than 0"},
      {"[boards.other]\nboard = \"text:/dev/ttyUSB0\"\n" + camera, 5, "boards.other.board",
       "that boards.top names already"},
      {"[boards.other]\nboard = \"usb:3\"\n" + camera, 5, "boards.other.board", "KIND:IDENTITY"},
      {camera + "[flashes]\nname = \"f\"\n", 7, "flashes", "[[flashes]]"},
      {camera + "[lights]\nkey = 1\n", 7, "lights", "unknown key"},
      {camera + "shutter = \"top:2\"\n", 7, "cameras[0].shutter", "cannot redefine"},
      {"", 0, "cameras", "at least one camera"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    try {
      parse(std::string(kBoard) + c.body, "rig.toml");
      ADD_FAILURE() << "read without complaint";
    } catch (const RigFileError& error) {
      EXPECT_EQ(error.file(), "rig.toml");
      EXPECT_EQ(error.line(), c.line) << error.what();
      EXPECT_EQ(error.field(), c.field) << error.what();
      EXPECT_NE(std::string(error.what()).find(c.words), std::string::npos) << error.what();
    }
  }
}

// What opening the rig or a channel would refuse is refused as the file is read, at its own line
// and field: boards no board can be, counts no board of the kind has, one device named as two
// boards, names no channel can pass, values the TOML library itself refuses.
TEST(RigFile, WhatCouldNotBeUsedIsNamedByLineAndField) {
  struct Case {
    std::string body;  // after kBoard (lines 1-3) and one camera on top:1 (lines 4-6)
    int line;
    std::string field;
    std::string words;
  };
  const auto board = [](const std::string& kind, const std::string& more = "") {
    return "[boards.b]\nboard = \"" + kind + "\"\n" + more;  // lines 7-8
  };
  std::vector<Case> cases = {
      {board("modbus:/dev/null@0"), 8, "boards.b.board", "the address 1 to 247, not '/dev/null@0'"},
      {board("modbus:/dev/null@248"), 8, "boards.b.board", "the address 1 to 247"},
      {board("modbus:/dev/null"), 8, "boards.b.board", "PATH@ADDRESS"},
      {board("modbus:/dev/null@x1"), 8, "boards.b.board", "PATH@ADDRESS"},
      {board("hid:ABCDEFG"), 8, "boards.b.board", "1 to 5 printable characters"},
      {board("hid:A:B"), 8, "boards.b.board", "without blanks or colons, not 'A:B'"},
      {board("hid:A B"), 8, "boards.b.board", "without blanks or colons"},
      {board("text-id:KOVRA 78"), 8, "boards.b.board", "without blanks, colons, quotes"},
      {board("text-id:" + std::string(33, 'A')), 8, "boards.b.board", "1 to 32 printable"},
      {board("ch340:/dev/ttyS5", "relays = 3\n"), 9, "boards.b.relays",
       "1, 2, 4 or 8 relays, not 3"},
      {board("hid:QM7YK", "relays = 9\n"), 9, "boards.b.relays", "1 to 8 relays, not 9"},
      {board("text-id:RIG02", "relays = 1\n"), 9, "boards.b.relays", "2 to 32 relays, not 1"},
      {board("modbus:/dev/ttyS5@2", "relays = 33\n"), 9, "boards.b.relays", "1 to 32, not 33"},
      // Without a count, a line beyond what the kind can have.
      {board("hid:QM7YK") + "[[cameras]]\nname = \"d\"\nshutter = \"b:8\"\n", 11,
       "cameras[1].shutter", "relays 0 to 7"},
      {board("ch340:/dev/ttyUSB0"), 8, "boards.b.board",
       "the device that boards.top names already, as text:/dev/ttyUSB0"},
      {board("modbus:/dev/ttyUSB0@1"), 8, "boards.b.board", "the device that boards.top"},
      {"[[cameras]]\nname = \"a,b\"\nshutter = \"top:2\"\n", 8, "cameras[1].name", "comma"},
      {"[[cameras]]\nname = \" \\t \"\nshutter = \"top:2\"\n", 8, "cameras[1].name", "only blanks"},
      {"[[cameras]]\nname = \"a\\tb\"\nshutter = \"top:2\"\n", 8, "cameras[1].name",
       "control characters"},
      {"[[flashes]]\nname = \"key\\u007f\"\nline = \"top:2\"\n", 8, "flashes[0].name",
       "control characters"},
      {"[timings]\nfocus_ms = 10\npulse_ms = 0\n", 9, "timings.pulse_ms", "more than 0"},
      {"[timings]\npulse_ms = 99999999999999999999\n", 8, "timings.pulse_ms", "64 bits"},
      {"[timings]\npulse = \"200\"\n", 8, "timings.pulse", "with its unit, ms or s"},
      {"[timings]\npulse = \"-5ms\"\n", 8, "timings.pulse", "with its unit"},
      {"[timings]\npulse = \"5 min\"\n", 8, "timings.pulse", "with its unit"},
      {"[timings]\npulse = 200\n", 8, "timings.pulse", "not 200 (or pulse_ms = 200"},
      {"[timings]\npulse = \"0.0005s\"\n", 8, "timings.pulse", "whole milliseconds"},
      {"[timings]\npulse = \"3601s\"\n", 8, "timings.pulse", "0 to 3600s, not '3601s'"},
      {"[timings]\npulse = \"99999999999999999999s\"\n", 8, "timings.pulse", "0 to 3600s"},
      {"[timings]\nfocus = \"10001ms\"\n", 8, "timings.focus", "0 to 10s"},
      {"[timings]\npulse = \"0s\"\n", 8, "timings.pulse", "more than 0"},
      {"[timings]\npulse_ms = 200\npulse = \"0.2s\"\n", 9, "timings.pulse",
       "given already by pulse_ms (line 8)"},
      {"[timings]\npause = \"1s\"\npause_ms = 200\n", 9, "timings.pause_ms",
       "given already by pause (line 8)"},
      {"[[cameras]]\nname = \"d\"\nshutter = \"top:2\"\ndelay = 5\n", 10, "cameras[1].delay",
       "with its unit"},
      {"[[cameras]]\nname = \"d\"\nshutter = \"top:2\"\n[[cameras]]\nname = \"e\"\n"
       "delay_ms = 1x\n",
       12, "cameras[2].delay_ms", "expected"},
  };
#ifndef _WIN32
  std::string made = (std::filesystem::temp_directory_path() / "rigfile-test-XXXXXX").string();
  ASSERT_NE(::mkdtemp(made.data()), nullptr);
  const std::string link = made + "/null";
  ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0);
  // A link is the device it leads to.
  cases.push_back({board("text:/dev/null") + "[boards.c]\nboard = \"text:" + link + "\"\n", 10,
                   "boards.c.board", "the device that boards.b names already, as text:/dev/null"});
  cases.push_back({board("modbus:/dev/null@7") + "[boards.c]\nboard = \"modbus:" + link + "@7\"\n",
                   10, "boards.c.board", "the device that boards.b names already"});
#endif
  const std::string camera = "[[cameras]]\nname = \"c\"\nshutter = \"top:1\"\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    try {
      parse(std::string(kBoard) + camera + c.body, "rig.toml");
      ADD_FAILURE() << "read without complaint";
    } catch (const RigFileError& error) {
      EXPECT_EQ(error.line(), c.line) << error.what();
      EXPECT_EQ(error.field(), c.field) << error.what();
      EXPECT_NE(std::string(error.what()).find(c.words), std::string::npos) << error.what();
    }
  }
  // Boards at two addresses of one line are a bus, not one device twice.
  EXPECT_EQ(parse(std::string(kBoard) + camera + board("modbus:/dev/null@1") +
                      "[boards.c]\nboard = \"modbus:/dev/null@2\"\n",
                  "rig.toml")
                .boards.size(),
            3U);
#ifndef _WIN32
  std::filesystem::remove_all(made);
#endif
}

#ifndef _WIN32
// What is not a rig file is refused at once, by what it is, without a byte read: a named pipe
// nobody writes to once held the reader in open() for ever, and /dev/zero fed it without end.
TEST(RigFile, WhatIsNoFileIsRefusedAtOnce) {
  std::string made = (std::filesystem::temp_directory_path() / "rigfile-test-XXXXXX").string();
  ASSERT_NE(::mkdtemp(made.data()), nullptr);
  const std::filesystem::path dir = made;
  const std::string fifo = (dir / "fifo.toml").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string rig = std::string(kBoard) + "[[cameras]]\nname = \"c\"\nshutter = \"top:1\"\n";
  // Padded with a comment to exactly `size` bytes.
  const auto write = [&dir, &rig](const std::string& name, std::size_t size) {
    std::ofstream((dir / name).string(), std::ios::binary)
        << rig << '#' << std::string(size - rig.size() - 2, 'x') << '\n';
    return (dir / name).string();
  };
  const std::string largest = write("largest.toml", std::size_t{1} << 20);
  const std::string larger = write("larger.toml", (std::size_t{1} << 20) + 1);

  EXPECT_EQ(rigfile::read(largest).cameras.size(), 1U) << "1 MiB is still a rig file";
  const std::pair<std::string, std::string> cases[] = {
      {fifo, fifo + ": is a named pipe, not a file"},
      {"/dev/zero", "/dev/zero: is a character device, not a file"},
      {dir.string(), dir.string() + ": is a directory, not a file"},
      {larger, larger + ": is 1048577 bytes, more than the 1048576 such a file may have"},
      {(dir / "missing.toml").string(),
       (dir / "missing.toml").string() + ": cannot be read: No such file or directory"},
  };
  for (const auto& [path, said] : cases) {
    auto reading = std::async(std::launch::async, [&file = path] {
      try {
        rigfile::read(file);
        return std::string("read without complaint");
      } catch (const RigFileError& error) {
        return std::string(error.what());
      }
    });
    if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << path << " still being read after 5 s";
      // A writer lets a reader stuck in the pipe's open() go, so that the test can end.
      if (path == fifo) ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    }
    EXPECT_EQ(reading.get(), said);
  }
  std::filesystem::remove_all(dir);
}
#endif

}  // namespace
