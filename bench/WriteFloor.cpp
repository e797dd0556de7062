#include "WriteFloor.h"

#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kSpin = 200us;         // as the rig's last stretch
constexpr auto kBetweenShots = 50ms;  // time for every write's bytes to be read

// A terminal pair whose far side is read by a thread of its own, as a module reads its line.
struct Line {
  Line() {
    if (::openpty(&near, &far, nullptr, nullptr, nullptr) != 0) return;
    reader = std::thread([fd = far] {
      char bytes[64];
      while (::read(fd, bytes, sizeof bytes) > 0) {
      }
    });
  }
  ~Line() {
    if (near >= 0) ::close(near);  // the reader's read ends
    if (reader.joinable()) reader.join();
    if (far >= 0) ::close(far);
  }
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;
  int near = -1;
  int far = -1;
  std::thread reader;
};

}  // namespace

std::vector<double> simultaneousWrites(int writers, int shots) {
  std::vector<std::unique_ptr<Line>> lines;
  lines.reserve(static_cast<std::size_t>(writers));
  for (int i = 0; i < writers; ++i) lines.push_back(std::make_unique<Line>());
  std::mutex mutex;
  std::vector<double> lateness;
  // Shot 0 only warms the threads up (their first priority change, their stacks): not counted.
  const Clock::time_point first = Clock::now() + 100ms;
  std::vector<std::thread> threads;
  threads.reserve(static_cast<std::size_t>(writers));
  for (int i = 0; i < writers; ++i) {
    threads.emplace_back([&, fd = lines[static_cast<std::size_t>(i)]->near] {
      ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
      int policy = SCHED_OTHER;
      sched_param saved{};
      ::pthread_getschedparam(::pthread_self(), &policy, &saved);
      sched_param raised{};
      raised.sched_priority = ::sched_get_priority_min(SCHED_FIFO) + 1;
      for (int shot = 0; shot <= shots; ++shot) {
        const Clock::time_point at = first + shot * kBetweenShots;
        ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &raised);
        std::this_thread::sleep_until(at - kSpin);
        while (Clock::now() < at) {
        }
        const Clock::time_point wrote = Clock::now();
        const bool written = ::write(fd, "relay on 1\r", 11) == 11;
        ::pthread_setschedparam(::pthread_self(), policy, &saved);
        if (!written || shot == 0) continue;
        const std::lock_guard<std::mutex> lock(mutex);
        lateness.push_back(std::chrono::duration<double, std::milli>(wrote - at).count());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  return lateness;
}

}  // namespace bench
