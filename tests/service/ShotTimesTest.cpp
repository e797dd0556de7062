#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <memory>

#include "rig/Captions.h"
#include "service/RigService.h"
#include "support/Fakes.h"

namespace {

using service::Action;
using service::parseRequest;

TEST(ShotTimes, TimesAreTakenWithinTheirBoundsAndOnlyWhereTheyBelong) {
  struct Case {
    const char* json;
    bool taken;
  };
  const Case cases[] = {
      {R"({"action":"shutter","pulse":0.05})", true},
      {R"({"action":"shutter","pulse":3600})", true},
      {R"({"action":"shutter","pulse":0.049})", false},
      {R"({"action":"shutter","pulse":3600.001})", false},
      {R"({"action":"shutter","pulse":"2"})", false},
      {R"({"action":"shutter","pulse":null})", false},
      {R"({"action":"shutter","pause":1})", false},
      {R"({"action":"flash","pulse":1})", false},
      {R"({"action":"open","port":1,"repeat":2})", false},
      {R"({"action":"status","interval":1})", false},
      {R"({"action":"sequence","pause":0.05,"pulse":0.05})", true},
      {R"({"action":"sequence","pause":60.5})", false},
      {R"({"action":"sequence","repeat":10000})", true},
      {R"({"action":"sequence","repeat":10001})", false},
      {R"({"action":"sequence","repeat":0})", false},
      {R"({"action":"sequence","repeat":2.5})", false},
      // From start to start: a sequence of half seconds is 2.5 s long, a pulse its own length.
      {R"({"action":"sequence","repeat":3,"interval":2.5})", true},
      {R"({"action":"sequence","repeat":3,"interval":2.4})", false},
      {R"({"action":"sequence","pulse":0.1,"pause":0.1,"interval":0.5})", true},
      {R"({"action":"shutter","pulse":2,"interval":1.9})", false},
      {R"({"action":"shutter","interval":86401})", false},
      {R"({"action":"stop"})", true},
      {R"({"action":"stop","repeat":1})", false},
  };
  for (const Case& c : cases) {
    const auto parsed = parseRequest(QByteArray(c.json));
    EXPECT_EQ(parsed.request.has_value(), c.taken) << c.json << " " << parsed.error.toStdString();
  }
  const auto series = parseRequest(R"({"action":"shutter","pulse":2,"repeat":3,"interval":5})");
  ASSERT_TRUE(series.request);
  const rig::Timings timings = series.request->times.timings();
  EXPECT_EQ(timings.pulse, std::chrono::seconds(2));
  EXPECT_EQ(timings.pause, std::chrono::milliseconds(500));
  EXPECT_EQ(series.request->times.shots(), 3);
  EXPECT_EQ(series.request->times.spacing(false), std::chrono::seconds(5));
  // Without an interval, each shot follows the last.
  const auto plain = parseRequest(R"({"action":"sequence","repeat":2})");
  ASSERT_TRUE(plain.request);
  EXPECT_EQ(plain.request->times.spacing(true), std::chrono::milliseconds(2500));
}

TEST(ShotTimes, CamerasAreDistinctNamesAndOnlyForAShutter) {
  struct Case {
    const char* json;
    bool taken;
  };
  const Case cases[] = {
      {R"({"action":"shutter","cameras":["left","top"]})", true},
      {R"({"action":"shutter","cameras":["left"],"pulse":600,"at":1900000000})", true},
      {R"({"action":"shutter","cameras":[]})", false},
      {R"({"action":"shutter","cameras":"left"})", false},
      {R"({"action":"shutter","cameras":["left",""]})", false},
      {R"({"action":"shutter","cameras":["left",3]})", false},
      {R"({"action":"shutter","cameras":["left","left"]})", false},
      {R"({"action":"sequence","cameras":["left"]})", false},
      {R"({"action":"flash","cameras":["left"]})", false},
  };
  for (const Case& c : cases) {
    const auto parsed = parseRequest(QByteArray(c.json));
    EXPECT_EQ(parsed.request.has_value(), c.taken) << c.json << " " << parsed.error.toStdString();
  }
  QByteArray many = R"({"action":"shutter","cameras":[)";
  for (int i = 0; i <= service::kMostNamedCameras; ++i)
    many += (i > 0 ? ",\"c" : "\"c") + QByteArray::number(i) + "\"";
  EXPECT_FALSE(parseRequest(many + "]}").request) << "more names than a rig can have";
  const auto named = parseRequest(R"({"action":"shutter","cameras":["top","left"]})");
  ASSERT_TRUE(named.request);
  EXPECT_EQ(named.request->cameras, (std::vector<QString>{"top", "left"}));
  // The journal keeps which cameras a shot was for.
  const QJsonObject line = QJsonDocument::fromJson(journalLine(*named.request, service::Result{},
                                                               std::chrono::system_clock::now()))
                               .object();
  EXPECT_EQ(line.value("cameras").toArray(), (QJsonArray{"top", "left"}));
  // And an armed shot's time, as its answer does.
  const auto armed = parseRequest(R"({"action":"shutter","at":1796640000.25})");
  ASSERT_TRUE(armed.request);
  EXPECT_EQ(QJsonDocument::fromJson(
                journalLine(*armed.request, service::Result{}, std::chrono::system_clock::now()))
                .object()
                .value("at")
                .toDouble(),
            1796640000.25);
}

// A rig file's armed shot tells each board's error at the line, and a shot later than 2 ms at any
// board says so in the answer and the journal alike; a shot on time does not.
TEST(ShotTimes, AnArmedShotTellsEachBoardsErrorAndWhetherItWasLate) {
  const auto armed = parseRequest(R"({"action":"shutter","at":1796640000.25})");
  ASSERT_TRUE(armed.request);
  service::Result result;
  result.boardShots = {{"ring", 0.0312}, {"side", 0.0004}};
  const QJsonObject answer = service::toJson(*armed.request, result);
  EXPECT_EQ(answer.value("late").toDouble(), 0.0312);
  const QJsonObject shot = answer.value("shot").toObject();
  EXPECT_EQ(shot.value("error").toDouble(), 0.0312);
  EXPECT_EQ(shot.value("boards").toArray(),
            (QJsonArray{QJsonObject{{"board", "ring"}, {"error", 0.0312}},
                        QJsonObject{{"board", "side"}, {"error", 0.0004}}}));
  const QJsonObject line =
      QJsonDocument::fromJson(journalLine(*armed.request, result, std::chrono::system_clock::now()))
          .object();
  EXPECT_EQ(line.value("late").toDouble(), 0.0312);
  EXPECT_EQ(line.value("shot").toObject(), shot);

  result.boardShots = {{"ring", 0.0019}};
  EXPECT_FALSE(service::toJson(*armed.request, result).contains("late"));
  EXPECT_FALSE(service::late(*armed.request, result));
}

TEST(ShotTimes, ADescribedRigsStateNamesEveryLine) {
  service::State state;
  EXPECT_FALSE(service::toJson(state).contains("cameras")) << "the two-relay rig has no roles";
  state.roles = rig::RoleState{{{"left", rig::LineState::On, rig::LineState::Off},
                                {"top", rig::LineState::Unknown, std::nullopt}},
                               {{"key", rig::LineState::Off}}};
  const QJsonObject json = service::toJson(state);
  const QJsonArray cameras = json.value("cameras").toArray();
  ASSERT_EQ(cameras.size(), 2);
  EXPECT_EQ(cameras[0].toObject(),
            (QJsonObject{{"name", "left"}, {"shutter", "on"}, {"focus", "off"}}));
  EXPECT_EQ(cameras[1].toObject(), (QJsonObject{{"name", "top"}, {"shutter", "unknown"}}));
  EXPECT_EQ(json.value("flashes").toArray(),
            (QJsonArray{QJsonObject{{"name", "key"}, {"line", "off"}}}));
}

TEST(ShotTimes, ASeriesShowsItsShotInTheStateAndAnswersWithEveryShot) {
  auto line = std::make_shared<fakes::FakeLine>();
  service::RigService rig(std::make_unique<fakes::LineSerial>(line),
                          [](rig::SerialControl&) { return std::make_unique<fakes::FakeClock>(); });
  QStringList tips;
  QObject::connect(&rig, &service::RigHost::stateChanged,
                   [&tips](const service::State& state) { tips << state.statusTip; });
  std::vector<service::Result> results;
  const auto ask = [&](const char* json) {
    const auto parsed = parseRequest(QByteArray(json));
    ASSERT_TRUE(parsed.request) << json;
    rig.submit(*parsed.request, [&results](const service::Result& r) { results.push_back(r); });
  };
  ask(R"({"action":"open","port":3})");
  ask(R"({"action":"shutter","pulse":1,"repeat":3,"interval":10})");
  ASSERT_TRUE(QTest::qWaitFor([&] { return results.size() == 2; }, 20000));
  const service::Result& series = results[1];
  EXPECT_TRUE(series.ok);
  ASSERT_EQ(series.shots.size(), 3u);
  EXPECT_EQ(series.commands.size(), 9u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(series.shots[i].number, static_cast<int>(i) + 1);
    EXPECT_GE(series.shots[i].seconds, 10.0 * static_cast<double>(i));
    EXPECT_LT(series.shots[i].seconds, 10.0 * static_cast<double>(i) + 0.5);
  }
  EXPECT_FALSE(tips.filter(QStringLiteral("; shot 2 of 3")).isEmpty())
      << tips.join('|').toStdString();
  EXPECT_TRUE(tips.back().indexOf(QStringLiteral("shot")) < 0) << "the series' words outlived it";
  const QJsonObject answer = service::toJson(service::Request{}, series);
  EXPECT_EQ(answer.value(QStringLiteral("shots")).toArray().size(), 3);
}

}  // namespace

namespace {

TEST(ShotTimes, TheStateTellsABulbWhileItRunsAndNothingOnceItEnds) {
  auto line = std::make_shared<fakes::FakeLine>();
  service::RigService rig(std::make_unique<fakes::LineSerial>(line),
                          [](rig::SerialControl&) { return std::make_unique<fakes::FakeClock>(); });
  std::vector<service::State> states;
  QObject::connect(&rig, &service::RigHost::stateChanged,
                   [&states](const service::State& state) { states.push_back(state); });
  std::vector<service::Result> results;
  for (const char* json : {R"({"action":"open","port":3})", R"({"action":"shutter","pulse":30})"}) {
    const auto parsed = parseRequest(QByteArray(json));
    ASSERT_TRUE(parsed.request) << json;
    rig.submit(*parsed.request, [&results](const service::Result& r) { results.push_back(r); });
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return results.size() == 2; }, 20000));
  const auto running = std::find_if(states.begin(), states.end(), [](const service::State& s) {
    return s.rig.running.has_value();
  });
  ASSERT_NE(running, states.end()) << "no state told the bulb";
  EXPECT_TRUE(running->busy);
  const QJsonObject json = service::toJson(*running).value("running").toObject();
  EXPECT_EQ(json.value("action").toString(), "shutter");
  EXPECT_EQ(json.value("pulse").toDouble(), 30.0);
  EXPECT_NEAR(json.value("until").toDouble() - json.value("since").toDouble(), 30.0, 1e-3);
  // Left over, it would show a bulb running (and every button held) on every page.
  EXPECT_FALSE(states.back().rig.running);
  EXPECT_FALSE(states.back().busy);
  EXPECT_FALSE(service::toJson(results[1].state).contains("running"));
}

TEST(ShotTimes, AStopSaysWhatItReleasedAndACutBulbHowLongItWasOpen) {
  const auto since = std::chrono::system_clock::time_point(std::chrono::seconds(1796671199));
  const rig::RunningShots bulb{rig::Shots::Shutter, since, since + std::chrono::seconds(5),
                               std::chrono::seconds(5)};
  EXPECT_EQ(service::stopWords(bulb, 2.14, true, 0, 0),
            "stopped 2.1 s into a 5 s exposure: the shutters are released now");
  // The module's pulse is never cut: no words may say its shutter closed.
  EXPECT_EQ(service::stopWords(bulb, 2.14, false, 0, 0),
            "stop taken 2.1 s into a 5 s exposure: the shutter closes at its end, in 2.9 s");
  EXPECT_EQ(service::stopWords(bulb, 12, false, 2, 5),
            "the series stops after shot 2 of 5, its step in progress");
  EXPECT_EQ(service::stoppedWords(bulb, 2.1, 0, {}),
            "stopped 2.1 s into a 5 s exposure, every shutter closed");
  EXPECT_EQ(service::stoppedWords(bulb, 0.04, 0, {"camera cam3", "camera cam7"}),
            "stopped 0 s into a 5 s exposure, not known to be closed: the shutter of camera "
            "cam3, camera cam7");

  service::Result cut;
  cut.stopped = true;
  cut.message = service::stoppedWords(bulb, 2.1, 0, {});
  cut.stoppedAfter = 2.12345;
  const QJsonObject answer = service::toJson(service::Request{}, cut);
  EXPECT_EQ(answer.value("message").toString(), cut.message);
  EXPECT_EQ(answer.value("stoppedAfter").toDouble(), 2.123);
  // A failure's words stay in its "error" alone.
  const QJsonObject failure = service::toJson(
      service::Request{}, service::failed(Action::Shutter, {rig::FailureKind::Other, {}, {}, "x"}));
  EXPECT_FALSE(failure.contains("message"));
}

}  // namespace
