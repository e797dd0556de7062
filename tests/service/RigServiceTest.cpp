#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rig/BoardSource.h"
#include "rig/Captions.h"
#include "rig/RigDescription.h"
#include "service/RigService.h"
#include "support/Fakes.h"

namespace {

using service::Action;
using service::Request;
using service::Result;
using service::RigService;

Request make(Action action, const QString& port = {}) {
  Request request;
  request.action = action;
  request.port = port;
  return request;
}

QStringList commandsOf(const Result& result) {
  QStringList texts;
  for (const auto& sent : result.commands) texts << sent.command;
  return texts;
}

class RigServiceTest : public ::testing::Test {
 protected:
  struct Answer {
    Request request;
    Result result;
  };

  void ask(const Request& request) {
    rig->submit(request, [this, request](const Result& result) {
      answers.push_back({request, result});
    });
  }
  void waitForAnswers(std::size_t count) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return answers.size() >= count; }, 20000));
  }
  void openPort() {
    ask(make(Action::Open, QStringLiteral("3")));
    waitForAnswers(answers.size() + 1);
    ASSERT_TRUE(answers.back().result.ok);
    answers.clear();
    line->sent.clear();
  }

  std::shared_ptr<fakes::FakeLine> line = std::make_shared<fakes::FakeLine>();
  std::unique_ptr<RigService> rig = std::make_unique<RigService>(
      std::make_unique<fakes::LineSerial>(line),
      [](rig::SerialControl&) { return std::make_unique<fakes::FakeClock>(); });
  std::vector<Answer> answers;
};

// The instant clock, whose waits are held until the test lets them go: the requests asked
// meanwhile are all queued behind the first, however the threads are scheduled.
class HeldClock : public fakes::FakeClock {
 public:
  explicit HeldClock(std::shared_future<void> go) : go_(std::move(go)) {}
  void waitUntil(time_point deadline) override {
    go_.wait();
    fakes::FakeClock::waitUntil(deadline);
  }

 private:
  std::shared_future<void> go_;
};

TEST_F(RigServiceTest, RequestsRunOneAfterTheOtherInArrivalOrderEachWithItsResult) {
  std::promise<void> go;
  rig = std::make_unique<RigService>(std::make_unique<fakes::LineSerial>(line),
                                     [held = go.get_future().share()](rig::SerialControl&) {
                                       return std::make_unique<HeldClock>(held);
                                     });
  for (const Request& request : {make(Action::Open, QStringLiteral("3")), make(Action::Flash),
                                 make(Action::Shutter), make(Action::Status)}) {
    ask(request);
  }
  EXPECT_TRUE(rig->busy());
  go.set_value();
  waitForAnswers(4);
  ASSERT_EQ(answers.size(), 4u);

  // A status is answered from the state, without a turn of its own (on this instant clock the
  // others may have run already).
  const auto atOnce = std::find_if(answers.begin(), answers.end(), [](const Answer& one) {
    return one.request.action == Action::Status;
  });
  ASSERT_NE(atOnce, answers.end());
  EXPECT_TRUE(atOnce->result.ok);
  EXPECT_TRUE(atOnce->result.commands.empty());
  answers.erase(atOnce);
  ask(make(Action::Status));
  waitForAnswers(4);

  const Result& open = answers[0].result;
  EXPECT_EQ(answers[0].request.action, Action::Open);
  EXPECT_TRUE(open.ok);
  EXPECT_EQ(commandsOf(open), QStringList({"relay off 0", "relay off 1"}));
  EXPECT_GE(open.commands[1].seconds - open.commands[0].seconds, 0.5) << "the reset's pause";
  EXPECT_TRUE(open.state.open);
  EXPECT_EQ(open.state.port, 3);
  EXPECT_EQ(open.state.device, QStringLiteral("/dev/ttyFAKE0"));
  EXPECT_EQ(open.state.status, QStringLiteral("Port Found and Opened"));
  EXPECT_TRUE(open.state.busy) << "more requests were waiting";

  const Result& flash = answers[1].result;
  EXPECT_EQ(commandsOf(flash), QStringList({"relay read 0", "relay on 0"}));
  EXPECT_EQ(flash.state.flash, QStringLiteral("Flash 2"));
  const QJsonObject flashed = service::toJson(flash.state);
  EXPECT_EQ(flashed["relays"].toObject()["flash"].toString(), QStringLiteral("on"));
  EXPECT_EQ(flashed["link"].toString(), QStringLiteral("open"));

  // Each record starts at its own action: the pulse's width is read from it.
  const Result& shutter = answers[2].result;
  EXPECT_EQ(commandsOf(shutter), QStringList({"relay read 1", "relay on 1", "relay off 1"}));
  EXPECT_LT(shutter.commands[0].seconds, 0.1);
  EXPECT_GE(shutter.commands[2].seconds - shutter.commands[1].seconds, 0.5);
  EXPECT_EQ(shutter.state.shutter, QStringLiteral("Camera Shutter"));

  const Result& status = answers[3].result;
  EXPECT_TRUE(status.ok);
  EXPECT_TRUE(status.commands.empty());
  EXPECT_FALSE(status.state.busy);
  EXPECT_EQ(status.state.flash, QStringLiteral("Flash 2"));

  EXPECT_EQ(line->sent, (std::vector<std::string>{
                            "relay off 0\r", "relay off 1\r", "relay read 0\r", "relay on 0\r",
                            "relay read 1\r", "relay on 1\r", "relay off 1\r"}))
      << "no two actions overlapped";
  EXPECT_FALSE(rig->busy());
  EXPECT_EQ(rig->state().flash, QStringLiteral("Flash 2"));
}

TEST_F(RigServiceTest, FailuresCarryTheirKindAndThePanelsWords) {
  ask(make(Action::Open, QStringLiteral("x")));
  waitForAnswers(1);
  const Result& notFound = answers[0].result;
  EXPECT_FALSE(notFound.ok);
  EXPECT_EQ(notFound.failure.kind, rig::FailureKind::NoDevice);
  EXPECT_TRUE(notFound.message.contains(QStringLiteral("not a port number")))
      << notFound.message.toStdString();
  EXPECT_EQ(notFound.state.status, QStringLiteral("Port Not Found"));
  Request click = answers[0].request;
  click.origin = service::Origin::Click;
  EXPECT_FALSE(RigService::warning(click, notFound)) << "the status box says it";

  answers.clear();
  openPort();
  line->failOutput = true;
  line->failKind = rig::FailureKind::WriteFailed;
  ask(make(Action::Flash));
  waitForAnswers(1);
  const Result& failed = answers[0].result;
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.failure.kind, rig::FailureKind::WriteFailed);
  EXPECT_EQ(failed.message,
            QStringLiteral("Main Flash failed: Port 3 (/dev/ttyFAKE0): Input/output error"));
  EXPECT_TRUE(failed.commands.empty()) << "a command that did not reach the line is not recorded";
  // The tooltip tells why, whatever channel asked, until the next request runs.
  EXPECT_EQ(failed.state.statusTip,
            QStringLiteral("/dev/ttyFAKE0\nMain Flash failed: Port 3 (/dev/ttyFAKE0): "
                           "Input/output error"));
  EXPECT_FALSE(RigService::warning(answers[0].request, failed)) << "answered to its socket";
  click = answers[0].request;
  click.origin = service::Origin::Click;
  const auto warning = RigService::warning(click, failed);
  ASSERT_TRUE(warning);
  EXPECT_EQ(warning->title, QStringLiteral("Main Flash failed"));
  EXPECT_EQ(warning->text, QStringLiteral("\"Main Flash\" stopped at a failing step.\n\n"
                                          "Port 3 (/dev/ttyFAKE0): Input/output error"));

  // The service goes on.
  line->failOutput = false;
  ask(make(Action::Flash));
  waitForAnswers(2);
  EXPECT_TRUE(answers[1].result.ok);
  EXPECT_EQ(answers[1].result.state.statusTip, QStringLiteral("/dev/ttyFAKE0"));
}

TEST_F(RigServiceTest, ChangesAreReportedWhileTheActionRuns) {
  openPort();
  std::vector<rig::Shutter> shutter;
  std::size_t answeredWhenOpen = 99;
  QObject::connect(rig.get(), &RigService::rigChanged,
                   [&](const rig::RigState& state, rig::Change change) {
                     if (change != rig::Change::Shutter) return;
                     shutter.push_back(state.shutter);
                     if (state.shutter == rig::Shutter::Open) answeredWhenOpen = answers.size();
                   });
  QSignalSpy states(rig.get(), &RigService::stateChanged);
  QSignalSpy idle(rig.get(), &RigService::idle);
  ask(make(Action::Shutter));
  waitForAnswers(1);

  EXPECT_EQ(shutter, (std::vector<rig::Shutter>{rig::Shutter::Open, rig::Shutter::Closed}));
  EXPECT_EQ(answeredWhenOpen, 0u) << "the caption was told before the action ended";
  ASSERT_GE(states.size(), 2);
  EXPECT_TRUE(states.first().at(0).value<service::State>().busy);
  EXPECT_FALSE(states.last().at(0).value<service::State>().busy);
  EXPECT_TRUE(QTest::qWaitFor([&] { return idle.size() == 1; }, 1000));
}

TEST_F(RigServiceTest, LostDeviceIsToldThroughTheSerialInterface) {
  openPort();
  QSignalSpy lost(rig.get(), &RigService::linkLost);
  const std::string message = "port 3 (/dev/ttyFAKE0): the device was removed";
  // Told from the service thread's event loop while no request runs, as a serial control on a
  // real port tells it.
  QAbstractEventDispatcher* serviceEvents = nullptr;
  rig->withSerial(
      [&](rig::SerialControl&) { serviceEvents = QAbstractEventDispatcher::instance(); });
  bool ran = false;
  rig->afterQueued([&ran] { ran = true; });
  ASSERT_TRUE(QTest::qWaitFor([&ran] { return ran; }, 1000));
  QMetaObject::invokeMethod(
      serviceEvents, [&] { line->lossHandler(message); }, Qt::QueuedConnection);
  ASSERT_TRUE(QTest::qWaitFor([&] { return lost.size() == 1; }, 1000));
  EXPECT_EQ(lost.first().at(0).toString().toStdString(), message);
  EXPECT_TRUE(
      QTest::qWaitFor([&] { return rig->state().statusTip.toStdString() == message; }, 1000))
      << "the status box's tooltip tells it";
  EXPECT_EQ(rig->state().status, QStringLiteral("Port Lost"));
}

// A pulse on the real clock, with an event for the service's thread posted as the shutter opens:
// it is handled after the job, never in the pause, while the wait still lets the control take in
// what reached the port.
TEST(RigServiceWaits, TheThreadsEventsWaitForTheJobWhileThePortIsTakenIn) {
  struct Watched : fakes::LineSerial {
    using LineSerial::LineSerial;
    void output(std::string_view text) override {
      LineSerial::output(text);
      if (text == "relay on 1\r") {
        inPulse = true;
        QMetaObject::invokeMethod(
            QAbstractEventDispatcher::instance(), [this] { ranInPulse = inPulse; },
            Qt::QueuedConnection);
      }
      if (text == "relay off 1\r") inPulse = false;
    }
    void takeIn() override { ++takeIns; }
    bool inPulse = false;
    std::optional<bool> ranInPulse;
    int takeIns = 0;
  };
  auto line = std::make_shared<fakes::FakeLine>();
  auto owned = std::make_unique<Watched>(line);
  Watched& watched = *owned;
  RigService rig(std::move(owned));
  std::vector<Result> results;
  for (const auto& request : {make(Action::Open, QStringLiteral("1")), make(Action::Shutter)}) {
    rig.submit(request, [&](const Result& result) { results.push_back(result); });
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return results.size() == 2; }, 10000));
  ASSERT_TRUE(results[1].ok);
  rig.withSerial([](rig::SerialControl&) {});  // the thread's events have run since
  ASSERT_TRUE(watched.ranInPulse.has_value());
  EXPECT_FALSE(*watched.ranInPulse) << "an event ran in the middle of the pulse";
  EXPECT_GT(watched.takeIns, 0);
}

TEST_F(RigServiceTest, FailureOfWorkOnTheSerialControlReachesTheCallerAndTheServiceGoesOn) {
  openPort();
  EXPECT_THROW(rig->withSerial([](rig::SerialControl& serial) { serial.setPortNumber(0); }),
               rig::SerialError);
  ask(make(Action::Flash));
  waitForAnswers(1);
  EXPECT_TRUE(answers[0].result.ok);
}

TEST_F(RigServiceTest, EndingLetsTheRunningActionFinishAndDropsTheQueue) {
  // On the real clock, so that the pulse is still running when the service ends.
  rig = std::make_unique<RigService>(std::make_unique<fakes::LineSerial>(line));
  openPort();
  rig->shutDown();
  EXPECT_EQ(line->sent, std::vector<std::string>{"relay off 1\r"})
      << "the shutter ends commanded off";
  line->sent.clear();

  bool pulseOpen = false;
  QObject::connect(rig.get(), &RigService::rigChanged, [&](const rig::RigState& state) {
    if (state.shutter == rig::Shutter::Open) pulseOpen = true;
  });
  ask(make(Action::Shutter));
  ask(make(Action::Flash));
  ASSERT_TRUE(QTest::qWaitFor([&] { return pulseOpen; }, 5000));
  rig.reset();
  EXPECT_EQ(line->sent,
            (std::vector<std::string>{"relay read 1\r", "relay on 1\r", "relay off 1\r"}));
  QTest::qWait(10);
  EXPECT_TRUE(answers.empty());
}

// A source where no board is ever found: a rig file's rig that never opens.
class NoBoards : public rig::BoardSource {
 public:
  rig::Listing list() override { return {}; }
  std::unique_ptr<rig::Board> find(const rig::BoardName&, std::optional<int>) override {
    return nullptr;
  }
};

// The end's words say what was commanded off, and when nothing was, why: never relay 1's words
// for a rig file's cameras, nor a claim that nothing was sent without its reason.
TEST_F(RigServiceTest, TheEndSaysWhatItCommandedOffOrWhyNothing) {
  EXPECT_FALSE(rig->shutDown());
  EXPECT_EQ(rig->endWords(),
            QStringLiteral("relay 1 could not be commanded off: the port is not open"));
  openPort();
  EXPECT_TRUE(rig->shutDown());
  EXPECT_EQ(rig->endWords(), QStringLiteral("relay 1 commanded off"));

  RigService described(std::make_unique<fakes::LineSerial>(line));
  rig::RigDescription description;
  description.boards = {{"top", rig::BoardName{"hid", "QM7YK"}, 2}};
  description.cameras = {{"left", {"top", 1}, std::nullopt, {}}};
  described.useRig(description, [] { return std::make_unique<NoBoards>(); });
  EXPECT_FALSE(described.shutDown());
  EXPECT_EQ(described.endWords(),
            QStringLiteral("no camera's line was commanded off: the rig's boards are not open"));
}

// A rig file's rig is what every channel sees from the moment it is set, before its first
// opening: the file and its boards, never the module's port and device.
TEST_F(RigServiceTest, ARigFileIsShownBeforeItsFirstOpening) {
  rig::RigDescription description;
  description.file = "studio.rig";
  description.boards = {{"top", rig::BoardName{"hid", "QM7YK"}, 2}};
  description.cameras = {{"left", {"top", 1}, std::nullopt, {}}};
  rig->useRig(description, [] { return std::make_unique<NoBoards>(); });
  ask(make(Action::Status));
  waitForAnswers(1);
  for (const service::State& state : {rig->state(), answers.back().result.state}) {
    const QJsonObject json = service::toJson(state);
    const std::string row = QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString();
    EXPECT_EQ(json["rigFile"].toString(), QStringLiteral("studio.rig")) << row;
    EXPECT_FALSE(json.contains("port")) << row;
    EXPECT_FALSE(json.contains("device")) << row;
    ASSERT_EQ(json["boards"].toArray().size(), 1) << row;
    EXPECT_EQ(json["boards"][0]["name"].toString(), QStringLiteral("top")) << row;
    EXPECT_EQ(json["boards"][0]["link"].toString(), QStringLiteral("closed")) << row;
    EXPECT_EQ(json["cameras"][0]["shutter"].toString(), QStringLiteral("unknown")) << row;
    EXPECT_FALSE(json["open"].toBool()) << row;
  }
  // Nothing was sent to the port for it.
  EXPECT_TRUE(line->sent.empty());
}

// The JSON state's typed fields, one row for each value of the rig's state they carry.
TEST(StateJson, TypedFieldsFollowTheRigsValuesBesideTheCaptions) {
  struct Case {
    rig::Link link;
    rig::Flash flash;
    rig::Shutter shutter;
    int shot, shots;
    const char* linkWord;
    const char* flashWord;
    const char* shutterWord;
  };
  using rig::Flash, rig::Link, rig::Shutter;
  const Case cases[] = {
      {Link::NotOpened, Flash::Unknown, Shutter::Closed, 0, 0, "closed", "unknown", "off"},
      {Link::Opened, Flash::On, Shutter::Open, 0, 0, "open", "on", "on"},
      {Link::OpenedBySearch, Flash::Off, Shutter::ClosedByReset, 0, 0, "open", "off", "off"},
      {Link::NotFound, Flash::Off, Shutter::Closed, 0, 0, "not-found", "off", "off"},
      {Link::Lost, Flash::On, Shutter::Open, 0, 0, "lost", "on", "on"},
      {Link::Opened, Flash::Off, Shutter::Open, 2, 5, "open", "off", "on"},
  };
  for (const Case& c : cases) {
    rig::RigState rig;
    rig.link = c.link;
    rig.flash = c.flash;
    rig.shutter = c.shutter;
    rig.shot = c.shot;
    rig.shots = c.shots;
    const QJsonObject json = service::toJson(service::stateOf(rig));
    const std::string row = QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString();
    EXPECT_EQ(json["link"].toString(), QLatin1String(c.linkWord)) << row;
    EXPECT_EQ(json["relays"].toObject()["flash"].toString(), QLatin1String(c.flashWord)) << row;
    EXPECT_EQ(json["relays"].toObject()["shutter"].toString(), QLatin1String(c.shutterWord)) << row;
    // The captions stay for the scripts that read them.
    EXPECT_EQ(json["flash"].toString().toStdString(), rig::captions::flash(c.flash)) << row;
    EXPECT_EQ(json["shutter"].toString().toStdString(), rig::captions::shutter(c.shutter)) << row;
    // The series' numbers only while one runs, beside its caption.
    EXPECT_EQ(json.contains("shot"), c.shots > 0) << row;
    EXPECT_EQ(json.contains("series"), c.shots > 0) << row;
    if (c.shots > 0) {
      EXPECT_EQ(json["shot"].toInt(), c.shot) << row;
      EXPECT_EQ(json["shots"].toInt(), c.shots) << row;
    }
  }
}

}  // namespace
