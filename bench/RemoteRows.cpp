#include "RemoteRows.h"

#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <memory>
#include <optional>
#include <stdexcept>

#include "SocketClient.h"
#include "Stats.h"
#include "endpoint/LocalEndpoint.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "windows/Form1.h"
#include "windows/RemoteControl.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kSequencePauses = 5;
constexpr double kHalfSecondMs = 500.0;
// The two-shot sequence from the flash off: pulse, flash on, pulse, flash off.
const std::vector<std::string> kSequence = {
    "relay read 1", "relay on 1", "relay off 1", "relay read 0", "relay on 0",
    "relay read 1", "relay on 1", "relay off 1", "relay read 0", "relay off 0"};

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The commands without the repeats of a query the module did not answer in time (the rig asks
// up to three times): what is left is the action's own course.
std::vector<std::string> withoutRepeats(const std::vector<std::string>& commands) {
  std::vector<std::string> course;
  for (const std::string& command : commands) {
    if (!course.empty() && command == course.back() && command.starts_with("relay read")) continue;
    course.push_back(command);
  }
  return course;
}

QJsonObject parse(const std::string& line) {
  return QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
}

// The module's commands from `first` on, waiting until there are `count` of them or none has come
// for a while.
std::vector<SimProcess::Entry> logged(SimProcess& sim, std::size_t first, std::size_t count) {
  while (sim.log().size() < first + count && sim.waitFor(sim.log().size() + 1, 3s)) {
  }
  const auto& log = sim.log();
  return {log.begin() + static_cast<std::ptrdiff_t>(std::min(first, log.size())), log.end()};
}

}  // namespace

RemoteFigures measureRemote(SimProcess& sim, const RemoteSettings& settings,
                            const std::function<void(Clock::duration)>& idle) {
  RemoteFigures figures;
  auto problem = [&figures](const std::string& what) { figures.problems.push_back(what); };

  // The panel as the program starts it, its socket in a runtime directory of its own.
  QTemporaryDir runtime;
  qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  Form1 window([device = QString::fromStdString(sim.device())] {
    return std::make_unique<serial::CommControl>(serial::PortMap({device}));
  });
  window.show();
  const QString name = QStringLiteral("bench");
  if (!startRemoteControl(window, name)->isListening()) {
    problem("the panel's local socket did not start");
    return figures;
  }
  const std::string path = service::LocalEndpoint::address(name).toStdString();
  window.combo1()->setEditText(QStringLiteral("1"));
  window.command1()->click();
  // A status request after the click ends when the opening and its reset have.
  bool opened = false;
  window.service().afterQueued([&opened] { opened = true; });
  for (int i = 0; i < 300 && !opened; ++i) idle(10ms);
  if (!window.command5()->isEnabled()) {
    problem("opening port 1 through the panel failed: " + window.text3()->text().toStdString());
    return figures;
  }
  while (sim.waitFor(sim.log().size() + 1, 100ms)) {
  }

  // Waits for the next line of `client`, running the panel's event loop meanwhile.
  auto answerOf = [&idle](SocketClient& client, Clock::duration limit) {
    const auto end = Clock::now() + limit;
    std::optional<std::string> line;
    while (!(line = client.readLine(0ms)) && Clock::now() < end) idle(1ms);
    return line;
  };

  try {
    SocketClient client(path);
    for (int i = 0; i < settings.requests; ++i) {
      idle(40ms);
      const std::size_t first = sim.log().size();
      const auto sent = client.send("{\"action\":\"flash\"}\n");
      const auto answer = answerOf(client, 5s);
      const auto log = logged(sim, first, 2);
      if (!answer || !parse(*answer).value(QStringLiteral("ok")).toBool() || log.empty() ||
          log.front().text != "relay read 0") {
        problem("remote flash " + std::to_string(i) + ": " +
                (answer ? *answer : std::string("no answer")) + "; module got " +
                (log.empty() ? std::string("nothing") : log.front().text));
        continue;
      }
      figures.firstByteMs.push_back(ms(log.front().at - sent) - wireMs(log.front().text));
    }
    // The flash is off again after an even number of toggles; otherwise one more.
    if (settings.requests % 2 != 0) {
      client.send("{\"action\":\"flash\"}\n");
      answerOf(client, 5s);
    }
  } catch (const std::exception& error) {
    problem(std::string("remote flash: ") + error.what());
  }

  // Every client sends all its sequences at once; they run one after the other.
  try {
    while (sim.waitFor(sim.log().size() + 1, 100ms)) {
    }
    ReplyModel replies;
    for (const auto& entry : sim.log()) replies.take(entry.text);
    std::vector<std::unique_ptr<SocketClient>> clients;
    clients.reserve(static_cast<std::size_t>(settings.clients));
    for (int c = 0; c < settings.clients; ++c) {
      clients.push_back(std::make_unique<SocketClient>(path));
    }
    const std::size_t total = static_cast<std::size_t>(settings.clients) * settings.sequencesEach;
    const std::size_t first = sim.log().size();
    const auto start = Clock::now();
    for (int k = 0; k < settings.sequencesEach; ++k) {
      for (int c = 0; c < settings.clients; ++c) {
        clients[c]->send(R"({"action":"sequence","id":")" + std::to_string(c) + "-" +
                         std::to_string(k) + "\"}\n");
      }
    }
    std::size_t answered = 0;
    bool allRan = true;
    for (int c = 0; c < settings.clients; ++c) {
      for (int k = 0; k < settings.sequencesEach; ++k) {
        const auto line = answerOf(*clients[c], 10s * total);
        const QJsonObject answer = line ? parse(*line) : QJsonObject();
        std::vector<std::string> sentFor;
        for (const QJsonValue sent : answer.value(QStringLiteral("commands")).toArray()) {
          sentFor.push_back(
              sent.toObject().value(QStringLiteral("command")).toString().toStdString());
        }
        const std::string id = std::to_string(c) + "-" + std::to_string(k);
        if (!answer.value(QStringLiteral("ok")).toBool() ||
            answer.value(QStringLiteral("id")).toString().toStdString() != id ||
            withoutRepeats(sentFor) != kSequence) {
          allRan = false;
          problem("sequence " + id + ": lost, out of order or failed: " +
                  (line ? line->substr(0, 400) : std::string("no answer")));
          continue;
        }
        ++answered;
      }
    }
    auto log = logged(sim, first, total * kSequence.size());
    // Repeated queries make the log longer: take in what is still coming.
    while (sim.waitFor(sim.log().size() + 1, 1s)) log = logged(sim, first, 0);
    // None overlap: the module got the whole sequences, one after the other.
    std::vector<std::string> texts;
    texts.reserve(log.size());
    for (const auto& entry : log) texts.push_back(entry.text);
    const std::vector<std::string> course = withoutRepeats(texts);
    bool apart = course.size() == total * kSequence.size();
    for (std::size_t i = 0; apart && i < course.size(); ++i) {
      apart = course[i] == kSequence[i % kSequence.size()];
    }
    if (!apart) problem("the sequences overlapped or commands were lost at the module");
    if (allRan && apart && answered == total) {
      // What the line allows: each sequence's pauses and its queries' replies; between two
      // sequences, the echo of the last command, which goes out before the next query.
      double limit = 0;
      for (std::size_t i = 0; i < log.size(); ++i) {
        const std::size_t bytes = replies.take(log[i].text);
        const bool query = log[i].text.starts_with("relay read");
        // Only a sequence's last command switches the flash off.
        const bool between = i + 1 < log.size() && log[i].text == kSequence.back();
        if (query || between) limit += static_cast<double>(bytes) * kByteMs;
      }
      limit += static_cast<double>(total) * kSequencePauses * kHalfSecondMs;
      figures.sequencesRatio.push_back(ms(log.back().at - start) / limit);
    }
  } catch (const std::exception& error) {
    problem(std::string("remote sequences: ") + error.what());
  }
  qunsetenv("XDG_RUNTIME_DIR");
  return figures;
}

}  // namespace bench
