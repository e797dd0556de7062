// The journal's file: opened without waiting, followed across rotation, and a reader that stops
// reading holds neither the rig nor the end.

#include "service/Journal.h"

#include <QTest>

#include "service/RigService.h"
#include "support/Fakes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <mutex>
#include <string>
#include <vector>

namespace {

// What the journal says besides failures, collected from its thread.
struct Notices {
  std::mutex mutex;
  std::vector<std::string> said;
  void attach(service::Journal& journal) {
    journal.setNoticeHandler([this](const std::string& notice) {
      const std::lock_guard lock(mutex);
      said.push_back(notice);
    });
  }
  std::vector<std::string> take() {
    const std::lock_guard lock(mutex);
    return said;
  }
};

QList<QByteArray> linesOf(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  QList<QByteArray> lines = file.readAll().split('\n');
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
  return lines;
}

enum class Rotation { Renamed, Deleted, Replaced };

class JournalRotation : public ::testing::TestWithParam<Rotation> {};

TEST_P(JournalRotation, TheNextLineGoesToANewFileAtThePathAndTheMoveIsSaidOnce) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("shots.jsonl"));
  const QString moved = dir.filePath(QStringLiteral("shots.jsonl.1"));
  QString error;
  auto journal = service::Journal::open(path, error);
  ASSERT_TRUE(journal) << error.toStdString();
  Notices notices;
  notices.attach(*journal);
  journal->add(R"({"n":1})");
  journal->flush();

  switch (GetParam()) {
    case Rotation::Renamed:
      ASSERT_TRUE(QFile::rename(path, moved));
      break;
    case Rotation::Deleted:
      ASSERT_TRUE(QFile::remove(path));
      break;
    case Rotation::Replaced: {
      ASSERT_TRUE(QFile::rename(path, moved));
      QFile fresh(path);
      ASSERT_TRUE(fresh.open(QIODevice::WriteOnly));
      break;
    }
  }
  journal->add(R"({"n":2})");
  journal->add(R"({"n":3})");
  journal->flush();

  if (GetParam() != Rotation::Deleted) {
    EXPECT_EQ(linesOf(moved), QList<QByteArray>{R"({"n":1})"});
  }
  const QList<QByteArray> lines = linesOf(path);
  ASSERT_EQ(lines.size(), 3);
  const QJsonObject note = QJsonDocument::fromJson(lines[0]).object();
  EXPECT_EQ(note.value(QStringLiteral("journal")).toString(), QStringLiteral("reopened"));
  EXPECT_FALSE(note.value(QStringLiteral("time")).toString().isEmpty());
  EXPECT_EQ(lines[1], R"({"n":2})");
  EXPECT_EQ(lines[2], R"({"n":3})");
  const auto said = notices.take();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("written anew"), std::string::npos) << said[0];
  EXPECT_TRUE(journal->failure().empty());
}

INSTANTIATE_TEST_SUITE_P(Journal, JournalRotation,
                         ::testing::Values(Rotation::Renamed, Rotation::Deleted,
                                           Rotation::Replaced),
                         [](const ::testing::TestParamInfo<Rotation>& info) {
                           switch (info.param) {
                             case Rotation::Renamed:
                               return "Renamed";
                             case Rotation::Deleted:
                               return "Deleted";
                             case Rotation::Replaced:
                               return "Replaced";
                           }
                           return "";
                         });

TEST(Journal, PathsThatCannotTakeLinesAreRefusedAtTheOpeningWithoutWaiting) {
  QTemporaryDir dir;
  const QString fifo = dir.filePath(QStringLiteral("journal.fifo"));
  ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  const struct {
    QString path;
    const char* said;
  } rows[] = {
      {fifo, "nobody reads"},
      {dir.path(), "directory"},
      {dir.filePath(QStringLiteral("missing/shots.jsonl")), "No such file"},
  };
  for (const auto& row : rows) {
    QString error;
    EXPECT_FALSE(service::Journal::open(row.path, error)) << row.path.toStdString();
    EXPECT_NE(error.indexOf(QLatin1String(row.said)), -1) << error.toStdString();
  }
  QString error;
  EXPECT_TRUE(service::Journal::open(QStringLiteral("/dev/null"), error)) << error.toStdString();
}

TEST(Journal, AReaderThatStopsReadingGetsABoundedEndAndTheLinesLeftAreCounted) {
  QTemporaryDir dir;
  const QString fifo = dir.filePath(QStringLiteral("journal.fifo"));
  const QByteArray name = QFile::encodeName(fifo);
  ASSERT_EQ(::mkfifo(name.constData(), 0600), 0);
  // A reader that is there but reads nothing until the journal has ended.
  const int reader = ::open(name.constData(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  QString error;
  auto journal = service::Journal::open(fifo, error);
  ASSERT_TRUE(journal) << error.toStdString();
  Notices notices;
  notices.attach(*journal);
  // Far more than a pipe holds.
  constexpr int kLines = 200;
  const QByteArray filler(2000, 'x');
  for (int i = 0; i < kLines; ++i)
    journal->add("{\"n\":" + QByteArray::number(i) + ",\"f\":\"" + filler + "\"}");
  journal.reset();  // returns: the end is bounded

  QByteArray taken;
  char buffer[65536];
  for (long n = 0; (n = ::read(reader, buffer, sizeof buffer)) > 0;) taken.append(buffer, n);
  ::close(reader);
  const auto whole = static_cast<int>(taken.count('\n'));
  EXPECT_GT(whole, 0);
  EXPECT_LT(whole, kLines);
  const auto said = notices.take();
  ASSERT_EQ(said.size(), 1u);
  const QRegularExpressionMatch count =
      QRegularExpression(QStringLiteral("^(\\d+) journal lines could not be written"))
          .match(QString::fromStdString(said[0]));
  ASSERT_TRUE(count.hasMatch()) << said[0];
  EXPECT_EQ(count.captured(1).toInt(), kLines - whole);
}

// Stops, disarms, refusals and the requests the end leaves unrun reached the rig too: each has its
// line, with the outcome that keeps it apart from a shot that fired.
TEST(Journal, RequestsThatEndedOrRanNothingAreJournalledToo) {
  using service::Action;
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("shots.jsonl"));
  {
    QString error;
    auto journal = service::Journal::open(path, error);
    ASSERT_TRUE(journal) << error.toStdString();
    auto line = std::make_shared<fakes::FakeLine>();
    service::RigService rig(std::make_unique<fakes::LineSerial>(line));
    rig.setJournal(std::move(journal));
    int answers = 0;
    const auto ask = [&rig, &answers](Action action, auto&& shape) {
      service::Request request;
      request.action = action;
      request.port = QStringLiteral("3");
      shape(request);
      rig.submit(request, [&answers](const service::Result&) { ++answers; });
    };
    const auto plain = [](service::Request&) {};
    ask(Action::Open, plain);
    ASSERT_TRUE(QTest::qWaitFor([&] { return answers == 1; }, 10000));
    ask(Action::Stop, plain);
    ask(Action::Disarm, plain);
    ask(Action::Shutter, [](service::Request& request) {
      request.shot = service::ShotTime{std::chrono::system_clock::now() - std::chrono::seconds(1)};
    });
    ask(Action::Shutter, [](service::Request& request) { request.times.pulse = 30.0; });
    ask(Action::Flash, plain);
    ask(Action::Status, plain);
    // The stop, the disarm, the refusal and the status are answered at once.
    ASSERT_TRUE(QTest::qWaitFor([&] { return answers == 5; }, 10000));
    // The long pulse has begun; the end cuts it short and leaves the flash unrun.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return rig.state().rig.shutter == rig::Shutter::Open; }, 10000));
    rig.stop();
  }
  QStringList seen;
  for (const QByteArray& text : linesOf(path)) {
    const QJsonObject line = QJsonDocument::fromJson(text).object();
    QString outcome = line.value(QStringLiteral("ok")).toBool()
                          ? QStringLiteral("ok")
                          : line[QStringLiteral("error")][QStringLiteral("kind")].toString();
    if (line.value(QStringLiteral("stopped")).toBool()) outcome += QStringLiteral(" stopped");
    seen << line.value(QStringLiteral("action")).toString() + ' ' + outcome;
  }
  seen.sort();
  EXPECT_EQ(seen.join(QStringLiteral(", ")).toStdString(),
            "disarm ok, flash not-run, open ok, shutter stopped, shutter too-late, stop ok");
}

// An opening that fails leaves its caller no journal, not even one it held before: the lines never
// go on to the earlier file while the start reports the failure.
TEST(Journal, AFailedOpeningLeavesNoJournalInHand) {
  QTemporaryDir dir;
  std::unique_ptr<service::Journal> journal;
  ASSERT_TRUE(service::Journal::open(dir.filePath(QStringLiteral("shots.jsonl")), journal));
  ASSERT_TRUE(journal);
  const service::Done opened = service::Journal::open(dir.path(), journal);
  EXPECT_FALSE(opened);
  EXPECT_FALSE(journal);
  EXPECT_TRUE(opened.reason().startsWith(dir.path() + QStringLiteral(": ")))
      << opened.reason().toStdString();
}

}  // namespace
