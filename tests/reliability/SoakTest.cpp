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

class Soak : public RigOnPtys {};

// QUILLMAR_SOAK_SEQUENCES sets the number of sequences (20 unless set; 1000 for a real soak).
TEST_F(Soak, ManySequencesArriveWholeAndInOrderWithFullPulsesAndNoMemoryGrowth) {
  const long sequences = fromEnvironment("QUILLMAR_SOAK_SEQUENCES", 20);
  constexpr long kWarmUp = 3;
  // Memory may settle a little after warm-up (allocator pools, font caches): this much is fine.
  constexpr long kResidentToleranceKiB = 3 * 1024;

  sim::RelayModule module;
  plug(1, module);
  Recording* line = nullptr;
  setSerialFactory([&line, map = serial::PortMap(QStringList{link(1)})] {
    auto recording = std::make_unique<Recording>(map);
    line = recording.get();
    return recording;
  });
  openByNumber(1, module);
  ASSERT_NE(line, nullptr);
  const std::size_t firstSent = line->sent.size();
  const std::size_t first = module.log().size();

  long residentAfterWarmUp = 0;
  for (long i = 0; i < sequences; ++i) {
    const Millis took = click(form1().command8());
    ASSERT_TRUE(failures.empty()) << "sequence " << i << ": "
                                  << failures.front().text.toStdString();
    ASSERT_LT(took, 10s) << "sequence " << i;
    if (i + 1 == std::min(kWarmUp, sequences)) residentAfterWarmUp = residentKiB();
  }
  const long residentAtEnd = residentKiB();

  const std::vector<std::string> one = {
      "relay read 1", "relay on 1", "relay off 1", "relay read 0", "relay on 0",
      "relay read 1", "relay on 1", "relay off 1", "relay read 0", "relay off 0"};
  module.waitForCommands(first + one.size() * static_cast<std::size_t>(sequences), 2s);
  const std::vector<sim::Command> log = module.logSince(first);
  ASSERT_EQ(log.size(), one.size() * static_cast<std::size_t>(sequences));
  ASSERT_EQ(line->sent.size() - firstSent, log.size());
  Millis shortest = 1h;
  for (std::size_t i = 0; i < log.size(); ++i) {
    ASSERT_EQ(log[i].text, one[i % one.size()]) << "command " << i;
    const Recording::Sent& sent = line->sent[firstSent + i];
    ASSERT_EQ(sent.text, log[i].text + "\r") << "command " << i;
    if (log[i].text == "relay off 1") {
      // The panel hands "relay off 1" to the line at least half a second after "relay on 1".
      const auto held = sent.at - line->sent[firstSent + i - 1].at;
      EXPECT_GE(held, 500ms) << "pulse ending at command " << i;
      // Where the module reads them, each may be late by the simulator's wake-up time on a
      // busy machine, so the pulse it sees may be that much shorter or longer.
      EXPECT_GE(log[i].at - log[i - 1].at, 490ms) << "pulse ending at command " << i;
      shortest = std::min(shortest, std::chrono::duration_cast<Millis>(held));
    }
  }
  EXPECT_FALSE(module.relay(0));
  EXPECT_FALSE(module.relay(1));

  std::cout << "[ soak     ] " << sequences << " sequences, shortest pulse " << shortest.count()
            << " ms, resident " << residentAfterWarmUp << " KiB after warm-up, " << residentAtEnd
            << " KiB at the end\n";
  if (kResidentSizeMeaningful && sequences > kWarmUp) {
    EXPECT_LT(residentAtEnd - residentAfterWarmUp, kResidentToleranceKiB);
  }
}

}  // namespace
