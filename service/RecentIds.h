#pragma once

#include <QByteArray>
#include <QHash>
#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace service {

// The ids of a channel's recent requests and their answers, so that a request sent again with
// the same "id" (a client retrying after a lost reply) is answered again rather than run again.
class RecentIds {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Reply = std::function<void(const QByteArray& answer)>;

  // A repeated "id" within this time runs once.
  static constexpr std::chrono::minutes kWindow{10};
  // Ids remembered at most; the oldest go first.
  static constexpr std::size_t kMostRemembered = 1024;

  explicit RecentIds(Clock now = &std::chrono::steady_clock::now);

  // For a request with an id, given as its JSON text (empty, no id: false). Ids are told apart by
  // that text: 7 and "7" are two ids, and so are two long numbers that round to one double. An id
  // not seen within the window is remembered and gives false: the request is to run. A repeated
  // one gives true: `reply` gets the first one's answer, at once when there is one, otherwise
  // when it comes if `waitForRunning`.
  bool repeated(const QByteArray& idText, const Reply& reply, bool waitForRunning);
  // The answer to the request with that id, for its repeats.
  void answered(const QByteArray& idText, const QByteArray& answer);
  // Whether a repeat waits for the answer of the request with that id (its client came back).
  bool awaited(const QByteArray& idText) const;
  // Forgets the id of a request that was withdrawn before it ran, so that a repeat runs afresh.
  void release(const QByteArray& idText);

 private:
  struct Entry {
    std::optional<QByteArray> answer;
    std::vector<Reply> waiting;
  };
  struct Seen {
    std::chrono::steady_clock::time_point at;
    QByteArray key;
  };
  void forget();

  Clock now_;
  std::deque<Seen> order_;
  QHash<QByteArray, Entry> seen_;
};

}  // namespace service
