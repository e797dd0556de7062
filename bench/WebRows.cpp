#include "WebRows.h"
#include "EventStream.h"
#include "Stats.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <memory>
#include <string>

#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "service/Reply.h"
#include "web/WebRemote.h"
#include "windows/Form1.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string request(const char* method, const char* path, quint16 port, const QString& token,
                    const std::string& body = {}) {
  return std::string(method) + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nAuthorization: Bearer " + token.toStdString() +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

}  // namespace

WebFigures measureWeb(SimProcess& sim, int requests,
                      const std::function<void(Clock::duration)>& idle) {
  WebFigures figures;
  auto problem = [&figures](const std::string& what) { figures.problems.push_back(what); };

  QTemporaryDir runtime;
  qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  Form1 window([device = QString::fromStdString(sim.device())] {
    return std::make_unique<serial::CommControl>(serial::PortMap({device}));
  });
  window.show();
  window.combo1()->setEditText(QStringLiteral("1"));
  window.command1()->click();
  bool opened = false;
  window.service().afterQueued([&opened] { opened = true; });
  for (int i = 0; i < 300 && !opened; ++i) idle(10ms);
  if (!window.command5()->isEnabled()) {
    problem("opening port 1 through the panel failed: " + window.text3()->text().toStdString());
    qunsetenv("XDG_RUNTIME_DIR");
    return figures;
  }
  while (sim.waitFor(sim.log().size() + 1, 100ms)) {
  }

  // Each change as the rig service tells it, stamped before the web channel hears of it: this
  // connection is made first.
  std::vector<Clock::time_point> changed;
  QObject::connect(&window.service(), &service::RigHost::stateChanged,
                   [&changed] { changed.push_back(Clock::now()); });
  web::WebSettings settings;
  web::WebRemote remote(window.service(), settings);
  if (!remote.listen()) {
    problem("the phone remote did not start: " + remote.errorString().toStdString());
    qunsetenv("XDG_RUNTIME_DIR");
    return figures;
  }
  const quint16 port = remote.port();

  // The event stream, as a connected page holds it.
  EventStream events(port, remote.token());
  if (!events.open()) problem("no event stream");
  idle(200ms);
  const std::size_t initial = events.count();
  changed.clear();

  const std::string flash =
      request("POST", "/api/request", port, remote.token(), R"({"action":"flash"})");
  const int client = connectTo(port);
  for (int i = 0; client >= 0 && i < requests; ++i) {
    idle(40ms);
    const std::size_t first = sim.log().size();
    const auto sent = Clock::now();
    if (!sendAll(client, flash)) {
      problem("the POST could not be sent");
      break;
    }
    // The answer, read as the event loop runs; its end is the JSON object's close.
    std::string answer;
    const auto end = Clock::now() + 5s;
    while (answer.find("\"commands\"") == std::string::npos && Clock::now() < end) {
      idle(1ms);
      char buffer[8192];
      const ssize_t got = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got > 0) answer.append(buffer, static_cast<std::size_t>(got));
    }
    idle(5ms);
    while (sim.log().size() < first + 2 && sim.waitFor(sim.log().size() + 1, 3s)) {
    }
    const auto& log = sim.log();
    if (answer.find("\"ok\":true") == std::string::npos || log.size() <= first ||
        log[first].text != "relay read 0") {
      problem("web flash " + std::to_string(i) + ": " + answer.substr(0, 300));
      continue;
    }
    figures.firstByteMs.push_back(ms(log[first].at - sent) - wireMs(log[first].text));
  }
  if (client >= 0) ::close(client);
  if (requests % 2 != 0) {
    bool done = false;
    service::Request again;
    again.action = service::Action::Flash;
    QObject asked;
    QObject::connect(window.service().send(again, &asked), &service::Reply::finished, &asked,
                     [&done] { done = true; });
    for (int i = 0; i < 300 && !done; ++i) idle(10ms);
  }
  idle(200ms);

  const std::vector<Clock::time_point> arrived = events.close();
  const std::size_t pushed = arrived.size() - initial;
  if (pushed != changed.size()) {
    problem("the event stream got " + std::to_string(pushed) + " events for " +
            std::to_string(changed.size()) + " state changes");
  }
  for (std::size_t i = 0; i < std::min(pushed, changed.size()); ++i) {
    figures.pushMs.push_back(ms(arrived[initial + i] - changed[i]));
  }
  qunsetenv("XDG_RUNTIME_DIR");
  return figures;
}

}  // namespace bench
