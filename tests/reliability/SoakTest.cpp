#include <functional>
#include <iostream>

#include "RigOnPtys.h"

using namespace reliability;

namespace {

// Owns the real serial control, so that it exists before the wrapper that forwards to it.
struct OwnedComm {
  explicit OwnedComm(const serial::PortMap& map) : comm(map) {}
  serial::CommControl comm;
};

// The real serial control, noting when each command was handed to the line.
class Recording : private OwnedComm, public rig::ForwardingSerialControl {
 public:
  struct Sent {
    std::chrono::steady_clock::time_point at;
    std::string text;
  };

  explicit Recording(const serial::PortMap& map) : OwnedComm(map), ForwardingSerialControl(comm) {}

  void output(std::string_view text) override {
    ForwardingSerialControl::output(text);
    sent.push_back({std::chrono::steady_clock::now(), std::string(text)});
  }

  std::vector<Sent> sent;
};

// The one sequence a module sees, as switching commands and the queries before them.
const std::vector<std::string> kSequence = {
    "relay read 1", "relay on 1", "relay off 1", "relay read 0", "relay on 0",
    "relay read 1", "relay on 1", "relay off 1", "relay read 0", "relay off 0"};

class Soak : public RigOnPtys {
 protected:
  // Opens port 1 on a module through the recording serial control.
  void openRecorded(sim::RelayModule& module) {
    plug(1, module);
    setSerialFactory([this, map = serial::PortMap(QStringList{link(1)})] {
      auto recording = std::make_unique<Recording>(map);
      line = recording.get();
      return recording;
    });
    openByNumber(1, module);
    ASSERT_NE(line, nullptr);
    firstSent = line->sent.size();
    first = module.log().size();
  }

  // Clicks "Start" `sequences` times, each succeeding within its bound.
  void runSequences(long sequences, const std::function<void(long)>& after = {}) {
    for (long i = 0; i < sequences; ++i) {
      const Millis took = click(form1().command8());
      ASSERT_TRUE(failures.empty())
          << "sequence " << i << ": " << failures.front().text.toStdString();
      ASSERT_LT(took, 10s) << "sequence " << i;
      if (after) after(i);
    }
  }

  // Every sequence reached the module whole and in order, each command as it was handed to the
  // line; returns what the module logged.
  std::vector<sim::Command> expectWholeAndInOrder(const sim::RelayModule& module, long sequences) {
    const std::size_t count = kSequence.size() * static_cast<std::size_t>(sequences);
    module.waitForCommands(first + count, 2s);
    const std::vector<sim::Command> log = module.logSince(first);
    EXPECT_EQ(log.size(), count);
    EXPECT_EQ(line->sent.size() - firstSent, log.size());
    for (std::size_t i = 0; i < log.size() && firstSent + i < line->sent.size(); ++i) {
      EXPECT_EQ(log[i].text, kSequence[i % kSequence.size()]) << "command " << i;
      EXPECT_EQ(line->sent[firstSent + i].text, log[i].text + "\r") << "command " << i;
    }
    EXPECT_FALSE(module.relay(0));
    EXPECT_FALSE(module.relay(1));
    return log;
  }

  Recording* line = nullptr;
  std::size_t firstSent = 0;
  std::size_t first = 0;
};

// QUILLMAR_SOAK_SEQUENCES sets the number of sequences (20 unless set; 1000 for a real soak). The
// rig skips its pulses and pauses here: what is soaked is the line, the window and memory.
TEST_F(Soak, ManySequencesArriveWholeAndInOrderWithNoMemoryGrowth) {
  const long sequences = fromEnvironment("QUILLMAR_SOAK_SEQUENCES", 20);
  constexpr long kWarmUp = 3;
  // Memory may settle a little after warm-up (allocator pools, font caches): this much is fine.
  constexpr long kResidentToleranceKiB = 3 * 1024;

  sim::RelayModule module;
  openRecorded(module);
  long residentAfterWarmUp = 0;
  runSequences(sequences, [&](long i) {
    if (i + 1 == std::min(kWarmUp, sequences)) residentAfterWarmUp = residentKiB();
  });
  const long residentAtEnd = residentKiB();
  expectWholeAndInOrder(module, sequences);

  std::cout << "[ soak     ] " << sequences << " sequences, resident " << residentAfterWarmUp
            << " KiB after warm-up, " << residentAtEnd << " KiB at the end\n";
  if (kResidentSizeMeaningful && sequences > kWarmUp) {
    EXPECT_LT(residentAtEnd - residentAfterWarmUp, kResidentToleranceKiB);
  }
}

// On the real clock, sequences one after the other: every shutter pulse is handed to the line,
// and seen at the module, a full half second long.
TEST_F(Soak, SequencesOneAfterTheOtherKeepFullPulsesOnTheLine) {
  constexpr long kSequences = 2;
  useRealClock();
  sim::RelayModule module;
  openRecorded(module);
  runSequences(kSequences);
  const std::vector<sim::Command> log = expectWholeAndInOrder(module, kSequences);
  ASSERT_EQ(log.size(), kSequence.size() * kSequences);
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log[i].text != "relay off 1") continue;
    // The panel hands "relay off 1" to the line at least half a second after "relay on 1".
    const Recording::Sent& sent = line->sent[firstSent + i];
    EXPECT_GE(sent.at - line->sent[firstSent + i - 1].at, 500ms) << "pulse ending at command " << i;
    // Where the module reads them, each may be late by the simulator's wake-up time on a busy
    // machine, so the pulse it sees may be that much shorter or longer.
    EXPECT_GE(log[i].at - log[i - 1].at, 490ms) << "pulse ending at command " << i;
  }
}

}  // namespace
