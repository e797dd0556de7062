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
