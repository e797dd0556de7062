#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "service/RigService.h"
#include "support/Fakes.h"

namespace {

using namespace std::chrono_literals;
using service::Action;
using service::Request;
using service::Result;
using service::RigService;

TEST(ShotTime, UnixSecondsAndIsoTimesWithTheirOffset) {
  using std::chrono::system_clock;
  const auto expected = system_clock::time_point(std::chrono::seconds(1796641200)) + 250ms;
  for (const char* json : {R"({"action":"shutter","at":1796641200.25})",
                           R"({"action":"shutter","at":"2026-12-07T11:00:00.250Z"})",
                           R"({"action":"sequence","at":"2026-12-07T12:00:00.25+01:00"})"}) {
    const auto parsed = service::parseRequest(json);
    ASSERT_TRUE(parsed.request) << json << ": " << parsed.error.toStdString();
    ASSERT_TRUE(parsed.request->shot);
    EXPECT_EQ(parsed.request->shot->at, expected) << json;
    EXPECT_FALSE(parsed.request->shot->localClock);
  }
  const auto local =
      service::parseRequest(R"({"action":"shutter","at":1796641200,"clock":"local"})");
  ASSERT_TRUE(local.request);
  EXPECT_TRUE(local.request->shot->localClock);

  // Refused: no offset (local time is no agreed time), a word, "at" on another action, "clock"
  // without "at" or with another value; times whose nanoseconds would wrap a 64-bit count round
  // to a near time (year 2611 wraps to within seconds of late 2026), or lie before 1970.
  for (const char* json :
       {R"({"action":"shutter","at":"2026-12-07T12:20:00"})", R"({"action":"shutter","at":"soon"})",
        R"({"action":"shutter","at":-5})", R"({"action":"flash","at":1796641200})",
        R"({"action":"shutter","at":"2611-07-20T01:23:46Z"})",
        R"({"action":"shutter","at":"9999-12-31T23:59:59.999Z"})",
        R"({"action":"shutter","at":"1969-12-31T23:59:59+00:00"})",
        R"({"action":"shutter","at":9.1e9})", R"({"action":"shutter","clock":"local"})",
        R"({"action":"shutter","at":1796641200,"clock":"ptp"})"}) {
    EXPECT_FALSE(service::parseRequest(json).request) << json;
  }
  EXPECT_EQ(service::parseRequest(R"({"action":"disarm"})").request->action, Action::Disarm);
}

class ArmedRequests : public ::testing::Test {
 protected:
  ArmedRequests() {
    rig->setClockStatusSource([this] { return service::ClockStatus{synchronized, 0.0004, 0.02}; });
    rig->submit(make(Action::Open), [this](const Result&) { opened = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return opened; }, 10000));
    line->sent.clear();
  }

  static Request make(Action action) {
    Request request;
    request.action = action;
    request.port = QStringLiteral("3");
    return request;
  }
  static Request armed(Action action, std::chrono::system_clock::duration ahead,
                       bool localClock = false) {
    Request request = make(action);
    request.shot = service::ShotTime{std::chrono::system_clock::now() + ahead, localClock};
    return request;
  }
  void ask(const Request& request) {
    rig->submit(request, [this, request](const Result& result) {
      answers.push_back({request, result});
    });
  }
  void waitForAnswers(std::size_t count) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return answers.size() >= count; }, 20000));
  }
  QString kindOf(std::size_t answer) const {
    const QJsonObject json = service::toJson(answers[answer].request, answers[answer].result);
    return json[QStringLiteral("error")][QStringLiteral("kind")].toString();
  }

  struct Answer {
    Request request;
    Result result;
  };
  bool synchronized = true;
  bool opened = false;
  std::shared_ptr<fakes::FakeLine> line = std::make_shared<fakes::FakeLine>();
  // The real clock: an armed wait must really be waiting for a disarm to meet it.
  std::unique_ptr<RigService> rig =
      std::make_unique<RigService>(std::make_unique<fakes::LineSerial>(line));
  std::vector<Answer> answers;
};

TEST_F(ArmedRequests, RefusedBeforeTheQueueWhenTheyCannotFireAsAsked) {
  ask(armed(Action::Shutter, -1s));   // passed
  ask(armed(Action::Shutter, 2h));    // more than an hour ahead
  ask(armed(Action::Sequence, 10s));  // armed for 10 s: the rig is kept until about 13 s
  ask(armed(Action::Shutter, 11s));   // inside it
  ask(make(Action::Disarm));
  waitForAnswers(5);
  QStringList kinds;
  for (std::size_t i = 0; i < answers.size(); ++i) kinds << kindOf(i);
  // The refusals and the disarm are answered at once; the armed sequence when its wait ends.
  EXPECT_EQ(kinds, QStringList({"too-late", "too-far-ahead", "conflict", "", "disarmed"}));
  EXPECT_EQ(answers[4].request.action, Action::Sequence);
  EXPECT_TRUE(line->sent.empty()) << "nothing fired";

  // The clock: refused while unsynchronized, unless the request allows the local clock.
  synchronized = false;
  answers.clear();
  ask(make(Action::Status));
  waitForAnswers(1);
  ask(armed(Action::Shutter, 500ms));
  waitForAnswers(2);
  ask(armed(Action::Shutter, 500ms, true));
  waitForAnswers(3);
  const QJsonObject status = service::toJson(answers[0].request, answers[0].result);
  EXPECT_FALSE(status[QStringLiteral("clock")][QStringLiteral("synchronized")].toBool(true));
  EXPECT_DOUBLE_EQ(status[QStringLiteral("clock")][QStringLiteral("maxError")].toDouble(), 0.02);
  EXPECT_EQ(kindOf(1), QStringLiteral("clock-unsynchronized"));
  EXPECT_TRUE(answers[2].result.ok);

  // The record: each command on the real-time clock, and the shot at the module's board as a
  // rig file's boards tell it, with the carriage return of "relay on 1" beside it.
  const QJsonObject fired = service::toJson(answers[2].request, answers[2].result);
  const QJsonArray commands = fired[QStringLiteral("commands")].toArray();
  ASSERT_EQ(commands.size(), 3);
  EXPECT_EQ(commands[1][QStringLiteral("command")].toString(), QStringLiteral("relay on 1"));
  EXPECT_GT(commands[1][QStringLiteral("clock")].toDouble(), 1.7e9);
  const QJsonObject shot = fired[QStringLiteral("shot")].toObject();
  const QJsonArray boards = shot[QStringLiteral("boards")].toArray();
  ASSERT_EQ(boards.size(), 1);
  EXPECT_EQ(boards[0][QStringLiteral("board")].toString(), QStringLiteral("module"));
  EXPECT_EQ(boards[0][QStringLiteral("error")], shot[QStringLiteral("error")]);
  EXPECT_GT(shot[QStringLiteral("carriageReturn")].toDouble(), 1.7e9);
  const double error = shot[QStringLiteral("error")].toDouble(1);
  EXPECT_GE(error, -0.001) << "early, beyond the two clocks' conversion";
  EXPECT_LT(error, 0.5);
  // Late by the board's own record, as for a rig file's board.
  Result late = answers[2].result;
  late.boardShots.front().error = 0.0031;
  EXPECT_DOUBLE_EQ(service::toJson(answers[2].request, late)[QStringLiteral("late")].toDouble(),
                   0.0031);
}

TEST_F(ArmedRequests, DisarmReachesTheWaitingShotAheadOfTheQueue) {
  ask(armed(Action::Sequence, 3s, true));
  ask(make(Action::Flash));  // queued behind it: runs once the armed wait has ended
  ASSERT_TRUE(QTest::qWaitFor([&] { return rig->state().armedAt.has_value(); }, 5000));
  EXPECT_FALSE(rig->state().armed.isEmpty());
  ask(make(Action::Disarm));
  waitForAnswers(3);
  EXPECT_TRUE(answers[0].result.ok) << "the disarm itself";
  EXPECT_EQ(answers[0].request.action, Action::Disarm);
  EXPECT_EQ(kindOf(1), QStringLiteral("disarmed"));
  EXPECT_TRUE(answers[2].result.ok);
  EXPECT_EQ(line->sent, (std::vector<std::string>{"relay read 0\r", "relay on 0\r"}))
      << "the disarmed sequence sent nothing";
  EXPECT_FALSE(rig->state().armedAt);
}

TEST_F(ArmedRequests, StopWithdrawalAndDisarmReachWhatWaitsAndSayWhatTheyEnded) {
  const auto outcomes = [](const Result& result) {
    QStringList words;
    for (const QJsonValue& one : *result.ended) words << one[QStringLiteral("outcome")].toString();
    return words;
  };
  // Requests run in order: a shot at +2 s cannot fire behind one armed for +4 s.
  ask(armed(Action::Shutter, 4s, true));
  ask(armed(Action::Shutter, 2s, true));
  waitForAnswers(1);
  EXPECT_EQ(kindOf(0), QStringLiteral("conflict"));
  // A stop before the shot ends its wait, and says so.
  ASSERT_TRUE(QTest::qWaitFor([&] { return rig->state().armedAt.has_value(); }, 5000));
  ask(make(Action::Stop));
  waitForAnswers(3);
  const Result& stop =
      answers[1].request.action == Action::Stop ? answers[1].result : answers[2].result;
  EXPECT_TRUE(stop.stopped);
  EXPECT_EQ(outcomes(stop), QStringList{"disarmed"});
  EXPECT_EQ(kindOf(answers[1].request.action == Action::Stop ? 2 : 1), QStringLiteral("disarmed"));

  // The client withdraws an armed request that has started waiting: it is disarmed.
  Request withdrawn = armed(Action::Shutter, 3s, true);
  withdrawn.ticket = std::make_shared<service::Ticket>();
  ask(withdrawn);
  ASSERT_TRUE(QTest::qWaitFor([&] { return withdrawn.ticket->started(); }, 5000));
  EXPECT_FALSE(withdrawn.ticket->withdraw()) << "it had started";
  waitForAnswers(4);
  EXPECT_EQ(kindOf(3), QStringLiteral("disarmed"));
  EXPECT_TRUE(line->sent.empty()) << "nothing fired, and no unasked command went out";

  // A disarm after an armed series' first shot ends the series after its step.
  Request series = armed(Action::Shutter, 1s, true);
  series.times.repeat = 3;
  series.times.interval = 1.0;
  ask(series);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return std::ranges::count(line->sent, std::string("relay on 1\r")) == 1; }, 5000));
  ask(make(Action::Disarm));
  waitForAnswers(6);
  const bool disarmFirst = answers[4].request.action == Action::Disarm;
  EXPECT_EQ(outcomes(answers[disarmFirst ? 4 : 5].result), QStringList{"stopping"});
  const Result& ran = answers[disarmFirst ? 5 : 4].result;
  EXPECT_TRUE(ran.stopped);
  EXPECT_EQ(ran.shots.size(), 1u);
  EXPECT_EQ(std::ranges::count(line->sent, std::string("relay on 1\r")), 1);
}

}  // namespace

namespace {

TEST_F(ArmedRequests, AServiceThatEndsFiresNoArmedShot) {
  ask(armed(Action::Shutter, 30s, true));
  ASSERT_TRUE(QTest::qWaitFor([&] { return rig->state().armedAt.has_value(); }, 5000));
  const auto start = std::chrono::steady_clock::now();
  rig.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << "the end did not wait for the shot";
  EXPECT_TRUE(line->sent.empty());
}

}  // namespace
