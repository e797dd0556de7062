// quillmar-bench: measures the panel's timings through the real rig and serial code, against the
// simulated relay module on a pseudo-terminal that paces its replies like a 9600 baud line, and
// prints them as a markdown table.

#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QEventLoop>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "BoardRows.h"
#include "CameraRows.h"
#include "ReconnectRows.h"
#include "RemoteRows.h"
#include "ShotRows.h"
#include "SimProcess.h"
#include "Startup.h"
#include "Stats.h"
#include "ViewRows.h"
#include "WebRows.h"
#include "rig/Clock.h"
#include "rig/SerialControl.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "service/Reply.h"
#include "service/RigService.h"
#include "windows/Form1.h"

#ifndef QUILLMAR_PROGRAM
#define QUILLMAR_PROGRAM "quillmar"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kHalfSecond = 500ms;
constexpr int kSequencePauses = 5;
// Commands of a two-shot sequence: two pulses of three, two toggles of two.
constexpr std::size_t kSequenceCommands = 10;
constexpr int kScanPorts = 15;
constexpr int kModulePort = 4;
// Every this often during a sequence a repaint of the main window is asked for.
constexpr auto kRepaintProbeInterval = 20ms;
// The late module answers this long after a command's carriage return.
constexpr auto kLateAnswer = 400ms;
// What reading a late answer may add to its lateness and its bytes on the wire.
constexpr double kLateAnswerSlackMs = 5.0;
// What the rig service, a board's driver and the terminal may add to a flash request's commands'
// time on the wire.
constexpr double kBoardSwitchSlackMs = 2.0;
// The eight-relay text module's identity, which the rig files name it by.
constexpr const char* kWideTextId = "WIDE8";

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Settings {
  int lateQueries = 20;
  int pulses = 100;
  int reactions = 100;
  int sequences = 20;
  int repaintSequences = 10;
  int baselineSequences = 3;
  int scans = 20;
  int startups = 10;
  int reconnects = 10;
  int idleCpuSamples = 3;
  int remoteClients = 10;    // clients of the local socket, each with
  int remoteSequences = 10;  // this many sequences at once
  bool startup = true;
  bool quick = false;
  bool webOnly = false;         // the phone remote's rows alone
  bool shotsOnly = false;       // the rows of shots with times of their own alone
  bool boardsOnly = false;      // the rows of the boards of every kind alone
  bool camerasOnly = false;     // the rows of rigs of many cameras alone
  bool reconnectsOnly = false;  // the rows of unplugging and replugging alone
  bool viewsOnly = false;       // the rows of the rig window and the phone page of 16 cameras alone
  bool baselineOnly = false;    // the busy-waiting sequence's row alone
  int viewShots = 20;           // shots of 16 cameras whose changes the views show
  bench::ShotSettings shots;
  bench::BoardSettings boards;
  bench::CameraSettings cameras;
  std::string samplesFile;  // every sample, one "measurement<TAB>value" a line
  std::string quillmar = QUILLMAR_PROGRAM;
};

constexpr std::string_view kUsage =
    "Usage: quillmar-bench [--quick] [--no-startup] [--web-only] [--shots-only] [--boards-only]\n"
    "                      [--cameras-only] [--reconnects-only] [--views-only] [--baseline-only]\n"
    "                      [--quillmar PATH] [--samples FILE]\n"
    "                      [--list-rows]\n"
    "Measures pulse width, sequence time, CPU use, port scan time, reaction time, reading a late\n"
    "answer, start-up, repaint waits and requests through the local socket of the panel against a\n"
    "simulated relay module paced at 9600 baud, and the relay boards of every kind against their\n"
    "simulated boards, and prints a markdown table.\n"
    "\n"
    "  --quick          a short run (few repetitions): for trying the benchmark, not for figures\n"
    "  --no-startup     skip the start-up measurement (needs Xvfb)\n"
    "  --web-only       only the phone remote's rows\n"
    "  --shots-only     only the rows of pulses and series of their own times and the journal\n"
    "  --boards-only    only the rows of the relay boards of every kind\n"
    "  --cameras-only   only the rows of rigs of many cameras, through the rig engine\n"
    "  --reconnects-only\n"
    "                   only the rows of unplugging and replugging, and the idle panel's CPU\n"
    "  --views-only     only the rows of the rig window and the phone page on a rig of 16 cameras\n"
    "  --baseline-only  only the row of a sequence whose pauses busy-wait\n"
    "  --quillmar PATH  the panel program for the start-up measurement (default: this build's)\n"
    "  --samples FILE   also write every sample to FILE, \"measurement<TAB>value\" a line\n"
    "  --list-rows      print the names of the rows a whole run prints, and nothing else\n";

// Clicks `button` and runs the event loop until the rig service has run what the click asked
// for and the window has taken in its end.
void clickAndWait(Form1& window, QPushButton* button) {
  button->click();
  QEventLoop loop;
  window.service().afterQueued([&loop] { loop.quit(); });
  loop.exec();
}

// Runs the event loop for `d`, as an idle panel would between clicks.
void idle(Clock::duration d) {
  QEventLoop loop;
  QTimer::singleShot(std::chrono::ceil<std::chrono::milliseconds>(d), Qt::PreciseTimer, &loop,
                     &QEventLoop::quit);
  loop.exec();
}

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A pause that spins on the clock: what the panel's waits would cost without an event loop to
// sleep in.
class SpinClock : public rig::Clock {
 public:
  time_point now() const override { return std::chrono::steady_clock::now(); }
  void waitUntil(time_point deadline) override {
    while (now() < deadline) {
    }
  }
};

// The panel's serial control, with the time each command was handed to the line noted: the rig's
// own side of a pulse, to tell its timing from the terminal's delivery to the module.
class StampedSerial : public rig::SerialControl {
 public:
  explicit StampedSerial(std::unique_ptr<serial::CommControl> inner) : inner_(std::move(inner)) {}

  struct Sent {
    Clock::time_point at;  // when output() returned
    std::string text;
  };
  std::vector<Sent>& sent() { return sent_; }

  int portNumber() const override { return inner_->portNumber(); }
  void setPortNumber(int number) override { inner_->setPortNumber(number); }
  bool portOpen() const override { return inner_->portOpen(); }
  void setPortOpen(bool open) override { inner_->setPortOpen(open); }
  void output(std::string_view text) override {
    inner_->output(text);
    sent_.push_back({Clock::now(), std::string(text)});
  }
  std::string input() override { return inner_->input(); }
  void takeIn() override { inner_->takeIn(); }
  rig::Clock::time_point lastReceived() const override { return inner_->lastReceived(); }
  std::string device() const override { return inner_->device(); }

 private:
  std::unique_ptr<serial::CommControl> inner_;
  std::vector<Sent> sent_;
};

// Watches the window's paint events and asks for repaints from another thread, as the window
// system would send an expose: the wait is measured from the request, so time the panel's thread
// spends away from its event loop counts in full.
class RepaintProbe : public QObject {
 public:
  explicit RepaintProbe(QWidget& window) : window_(window) { window_.installEventFilter(this); }
  ~RepaintProbe() override {
    stop();
    window_.removeEventFilter(this);
  }

  void start() {
    running_ = true;
    finished_ = false;
    requester_ = std::thread([this] {
      while (running_) {
        std::this_thread::sleep_for(kRepaintProbeInterval);
        if (!running_ || requestedAt_.load() != 0) continue;
        requestedAt_ = Clock::now().time_since_epoch().count();
        QMetaObject::invokeMethod(
            &window_,
            [this] {
              window_.update();
              updateCalled_ = true;
            },
            Qt::QueuedConnection);
      }
      finished_ = true;
    });
  }
  // Keeps the event loop running until the requests have stopped, so the last one is not kept
  // waiting by the stop itself.
  void stop() {
    running_ = false;
    while (requester_.joinable() && !finished_) idle(1ms);
    if (requester_.joinable()) requester_.join();
  }
  // The waits of the requests made before `until`.
  std::vector<double> takeSamples(Clock::time_point until) {
    std::vector<double> out;
    for (const auto& [requested, wait] : samples_) {
      if (requested < until) out.push_back(wait);
    }
    samples_.clear();
    return out;
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == &window_ && event->type() == QEvent::Paint && updateCalled_) {
      const Clock::time_point requested(Clock::duration(requestedAt_.load()));
      samples_.emplace_back(requested, ms(Clock::now() - requested));
      updateCalled_ = false;
      requestedAt_ = 0;
    }
    return false;
  }

 private:
  QWidget& window_;
  std::thread requester_;
  std::atomic<bool> running_{false};
  std::atomic<bool> finished_{true};
  std::atomic<Clock::rep> requestedAt_{0};
  bool updateCalled_ = false;  // the panel's thread only
  std::vector<std::pair<Clock::time_point, double>> samples_;
};

class Bench {
 public:
  Bench(const Settings& settings, bench::SimProcess& sim, bench::SimProcess& lateSim,
        bench::SimProcess& wideSim)
      : settings_(settings), sim_(sim), lateSim_(lateSim), wideSim_(wideSim) {
    Form1::setFailureReporter([this](const QString& title, const QString& text) {
      failures_.push_back((title + ": " + text).toStdString());
    });
  }

  std::vector<bench::Row> run();
  const std::vector<std::string>& failures() const { return failures_; }
  // Every sample taken, with the measurement it belongs to.
  const std::vector<std::pair<std::string, double>>& samples() const { return samples_; }

 private:
  void measureScans(std::vector<bench::Row>& rows);
  void measurePanel(std::vector<bench::Row>& rows);
  void measureRemote(std::vector<bench::Row>& rows);
  void measureWeb(std::vector<bench::Row>& rows);
  void measureShots(std::vector<bench::Row>& rows);
  void measureBoards(std::vector<bench::Row>& rows);
  void measureCameras(std::vector<bench::Row>& rows);
  void measureViews(std::vector<bench::Row>& rows);
  void measureBaseline(std::vector<bench::Row>& rows);
  void measureLateAnswers(std::vector<bench::Row>& rows);
  void measureStartup(std::vector<bench::Row>& rows);
  void measureReconnects(std::vector<bench::Row>& rows);

  // Takes in every command the module has received so far: waits until none has come for a while.
  std::size_t quiesce();
  // The commands logged from index `first` on; waits for `count` of them.
  std::vector<bench::SimProcess::Entry> commands(std::size_t first, std::size_t count);
  void problem(const std::string& what) { failures_.push_back(what); }
  // Adds a row for the samples and keeps them; `met` judges the summary (none: no target).
  void addRow(std::vector<bench::Row>& rows, const std::string& measurement,
              const std::vector<double>& samples, int decimals, const std::string& target,
              const std::function<bool(const bench::Summary&)>& met = {}) {
    bench::Row row{measurement, bench::summarize(samples), decimals, target, std::nullopt};
    if (met && !samples.empty()) row.met = met(row.summary);
    rows.push_back(std::move(row));
    for (const double value : samples) samples_.emplace_back(measurement, value);
  }

  const Settings& settings_;
  bench::SimProcess& sim_;
  bench::SimProcess& lateSim_;  // a module answering kLateAnswer late
  bench::SimProcess& wideSim_;  // a module with 8 relays
  std::vector<std::string> failures_;
  std::vector<std::pair<std::string, double>> samples_;
};

std::vector<bench::SimProcess::Entry> Bench::commands(std::size_t first, std::size_t count) {
  if (!sim_.waitFor(first + count, 3s)) {
    problem("the module logged fewer commands than expected");
  }
  const auto& log = sim_.log();
  return {log.begin() + static_cast<std::ptrdiff_t>(std::min(first, log.size())), log.end()};
}

std::size_t Bench::quiesce() {
  while (sim_.waitFor(sim_.log().size() + 1, 100ms)) {
  }
  return sim_.log().size();
}

void Bench::measureScans(std::vector<bench::Row>& rows) {
  QStringList absent;
  for (int port = 1; port <= kScanPorts; ++port) {
    absent << QStringLiteral("/dev/quillmar-bench-absent-%1").arg(port);
  }

  std::vector<double> absentMs;
  {
    Form1 window(
        [absent] { return std::make_unique<serial::CommControl>(serial::PortMap(absent)); });
    window.show();
    for (int i = 0; i < settings_.scans; ++i) {
      window.combo1()->setEditText(QStringLiteral("AUTOMATIC"));
      idle(5ms);
      const auto start = Clock::now();
      clickAndWait(window, window.command1());
      absentMs.push_back(ms(Clock::now() - start));
      if (window.text3()->text() != QStringLiteral("Port Not Found")) {
        problem("scan of absent ports: unexpected status " + window.text3()->text().toStdString());
      }
    }
  }
  addRow(rows, "Port scan, 15 absent ports (ms)", absentMs, 2, "<= 50 ms",
         [](const bench::Summary& s) { return s.max <= 50.0; });

  QStringList withModule = absent.mid(0, kModulePort - 1);
  withModule << QString::fromStdString(sim_.device());
  std::vector<double> moduleMs;
  {
    Form1 window([withModule] {
      return std::make_unique<serial::CommControl>(serial::PortMap(withModule));
    });
    window.show();
    quiesce();
    for (int i = 0; i < settings_.scans; ++i) {
      window.combo1()->setEditText(QStringLiteral("AUTOMATIC"));
      idle(30ms);
      const std::size_t first = sim_.log().size();
      const auto start = Clock::now();
      clickAndWait(window, window.command1());
      // "id get" on port 4, then the scan's reset and the click's reset.
      const auto log = commands(first, 5);
      const auto reset = std::find_if(log.begin(), log.end(),
                                      [](const auto& e) { return e.text == "relay off 0"; });
      if (log.empty() || log.front().text != "id get" || reset == log.end()) {
        problem("scan with the module on port 4: unexpected commands");
        continue;
      }
      moduleMs.push_back(ms(reset->at - start));
    }
    window.service().withSerial([](rig::SerialControl& serial) { serial.setPortOpen(false); });
  }
  addRow(rows, "Port scan, module on port 4 behind 3 absent, to its reset (ms)", moduleMs, 2,
         "<= 100 ms", [](const bench::Summary& s) { return s.max <= 100.0; });
}

// The main window on a time-stamping serial control whose port 1 is `device`, port 1 opened.
// Null window when the opening failed, with the status box's text in `failure`.
struct StampedPanel {
  std::unique_ptr<Form1> window;
  StampedSerial* serial = nullptr;
  std::string failure;
};

StampedPanel openStampedPanel(const std::string& device) {
  StampedPanel panel;
  // Made on the rig service's thread; the window's constructor returns once it is there.
  panel.window = std::make_unique<Form1>([&panel, path = QString::fromStdString(device)] {
    auto serial = std::make_unique<StampedSerial>(
        std::make_unique<serial::CommControl>(serial::PortMap({path})));
    panel.serial = serial.get();
    return serial;
  });
  Form1& window = *panel.window;
  window.show();
  window.combo1()->setEditText(QStringLiteral("1"));
  clickAndWait(window, window.command1());
  if (window.text3()->text() != QStringLiteral("Port Found and Opened")) {
    panel.failure = window.text3()->text().toStdString();
    panel.window.reset();
  }
  return panel;
}

void Bench::measurePanel(std::vector<bench::Row>& rows) {
  const StampedPanel panel = openStampedPanel(sim_.device());
  if (!panel.window) {
    problem("opening port 1 failed: " + panel.failure);
    return;
  }
  Form1& window = *panel.window;
  StampedSerial& serialSide = *panel.serial;
  idle(50ms);
  quiesce();

  // Pulses: "relay read 1", "relay on 1", "relay off 1"; the width is from the end of the second
  // to the end of the third, at the module.
  std::vector<double> pulses;
  std::vector<double> panelPulses;
  for (int i = 0; i < settings_.pulses; ++i) {
    const std::size_t first = sim_.log().size();
    serialSide.sent().clear();
    clickAndWait(window, window.command6());
    const auto& sent = serialSide.sent();
    if (sent.size() == 3) panelPulses.push_back(ms(sent[2].at - sent[1].at));
    const auto log = commands(first, 3);
    if (log.size() < 3 || log[1].text != "relay on 1" || log[2].text != "relay off 1") {
      problem("pulse: unexpected commands");
      continue;
    }
    // From first byte to first byte: "relay off 1" is a byte longer on the wire.
    pulses.push_back(ms(log[2].at - log[1].at) -
                     (bench::wireMs(log[2].text) - bench::wireMs(log[1].text)));
    idle(20ms);
  }
  addRow(rows,
         "Pulse width at the module, first byte of \"relay on 1\" to first byte of \"relay off "
         "1\" (ms)",
         pulses, 3, ">= 500, median <= 501, max <= 505", [](const bench::Summary& s) {
           return s.min >= 500.0 && s.median <= 501.0 && s.max <= 505.0;
         });
  addRow(rows, "Pulse width at the panel, from handing one to the line to the other (ms)",
         panelPulses, 3, "-");

  // Reaction: the click on "Main Flash" to its query at the module.
  std::vector<double> reactions;
  for (int i = 0; i < settings_.reactions; ++i) {
    idle(40ms);
    const std::size_t first = sim_.log().size();
    const auto start = Clock::now();
    clickAndWait(window, window.command5());
    const auto log = commands(first, 2);
    if (log.empty() || log.front().text != "relay read 0") {
      problem("reaction: unexpected commands");
      continue;
    }
    reactions.push_back(ms(log.front().at - start) - bench::wireMs(log.front().text));
  }
  addRow(rows, "Reaction, click on \"Main Flash\" to its query's first byte on the line (ms)",
         reactions, 3, "<= 5 ms", [](const bench::Summary& s) { return s.max <= 5.0; });

  // Two-shot sequences: time against the line's limit, and CPU.
  bench::ReplyModel replies;
  quiesce();
  for (const auto& entry : sim_.log()) replies.take(entry.text);
  std::vector<double> ratios;
  std::vector<double> sequenceMs;
  std::vector<double> cpu;
  RepaintProbe probe(window);
  std::vector<double> repaints;
  const int total = settings_.sequences + settings_.repaintSequences;
  for (int i = 0; i < total; ++i) {
    const bool probing = i >= settings_.sequences;
    idle(60ms);
    const std::size_t first = sim_.log().size();
    if (probing) probe.start();
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    clickAndWait(window, window.command8());
    const auto end = Clock::now();
    const double cpuAfter = cpuSeconds();
    if (probing) {
      probe.stop();
      const auto samples = probe.takeSamples(end);
      repaints.insert(repaints.end(), samples.begin(), samples.end());
    }
    const auto log = commands(first, kSequenceCommands);
    if (log.size() != kSequenceCommands) {
      problem("sequence: unexpected number of commands");
      for (const auto& entry : log) replies.take(entry.text);
      continue;
    }
    double replyBytes = 0;
    double queriesMs = 0;  // a query's answer is waited for: its own bytes count too
    for (const auto& entry : log) {
      if (entry.text.starts_with("relay read")) {
        queriesMs += bench::wireMs(entry.text);
        replyBytes += static_cast<double>(replies.take(entry.text));
      } else {
        replies.take(entry.text);
      }
    }
    const double limit =
        kSequencePauses * ms(kHalfSecond) + replyBytes * bench::kByteMs + queriesMs;
    // To the last command's first byte on the line.
    const double taken = ms(log.back().at - start) - bench::wireMs(log.back().text);
    if (probing) continue;
    sequenceMs.push_back(taken);
    ratios.push_back(taken / limit);
    cpu.push_back(100.0 * (cpuAfter - cpuBefore) / (ms(end - start) / 1000.0));
  }
  addRow(rows, "Two-shot sequence, to its last command's first byte (ms)", sequenceMs, 1, "-");
  addRow(rows, "Two-shot sequence / wire limit with the queries' own bytes (ratio)", ratios, 4,
         "<= 1.02", [](const bench::Summary& s) { return s.max <= 1.02; });
  addRow(rows, "CPU during a sequence (% of one core)", cpu, 2, "<= 2 %",
         [](const bench::Summary& s) { return s.max <= 2.0; });
  addRow(rows, "Repaint wait during a sequence (ms)", repaints, 2, "<= 50 ms",
         [](const bench::Summary& s) { return s.max <= 50.0; });

  window.service().withSerial([](rig::SerialControl& serial) { serial.setPortOpen(false); });
}

void Bench::measureLateAnswers(std::vector<bench::Row>& rows) {
  const StampedPanel panel = openStampedPanel(lateSim_.device());
  if (!panel.window) {
    problem("opening the late module failed: " + panel.failure);
    return;
  }
  Form1& window = *panel.window;
  StampedSerial& serialSide = *panel.serial;

  // From the query handed to the line to the switching command that follows from its answer.
  // The answer's bytes ("\r\n", the state word, "\r\n>") leave the module after the delay.
  std::vector<double> taken;
  bool allMet = true;
  for (int i = 0; i < settings_.lateQueries; ++i) {
    idle(20ms);
    serialSide.sent().clear();
    clickAndWait(window, window.command5());
    const auto& sent = serialSide.sent();
    if (sent.size() != 2 || sent[0].text != "relay read 0\r") {
      problem("late answer: unexpected commands");
      continue;
    }
    const bool readOff = sent[1].text == "relay on 0\r";
    const double answerBytes = 2.0 + (readOff ? 3.0 : 2.0) + 3.0;
    const double sample = ms(sent[1].at - sent[0].at);
    taken.push_back(sample);
    // The module's 0.4 s count from the query's carriage return: its bytes come first.
    allMet = allMet && sample <= ms(kLateAnswer) + bench::wireMs("relay read 0") +
                                     answerBytes * bench::kByteMs + kLateAnswerSlackMs;
  }
  addRow(rows, "Query to a module answering 0.4 s after it, send to decision (ms)", taken, 2,
         "<= 400 ms + query and answer bytes at 9600 baud + 5 ms",
         [allMet](const bench::Summary&) { return allMet; });
  window.service().withSerial([](rig::SerialControl& serial) { serial.setPortOpen(false); });
}

void Bench::measureBaseline(std::vector<bench::Row>& rows) {
  // The panel's rig through the rig service, as the window runs it, on a clock that spins.
  const QString device = QString::fromStdString(sim_.device());
  service::RigService panelRig(
      [device] { return std::make_unique<serial::CommControl>(serial::PortMap({device})); },
      [](rig::SerialControl&) { return std::make_unique<SpinClock>(); });
  const auto run = [&panelRig](service::Action action) {
    service::Request request;
    request.action = action;
    request.port = QStringLiteral("1");
    service::Result result;
    QEventLoop loop;
    service::Reply* reply = panelRig.send(request, &loop);
    QObject::connect(reply, &service::Reply::finished, &loop, [&] {
      result = reply->result();
      loop.quit();
    });
    loop.exec();
    return result;
  };
  std::vector<double> cpu;
  const service::Result opened = run(service::Action::Open);
  if (!opened.ok) problem("busy-wait baseline: " + opened.message.toStdString());
  for (int i = 0; opened.ok && i < settings_.baselineSequences; ++i) {
    std::this_thread::sleep_for(60ms);
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    const service::Result ran = run(service::Action::Sequence);
    const auto end = Clock::now();
    if (!ran.ok) {
      problem("busy-wait baseline: " + ran.message.toStdString());
      break;
    }
    cpu.push_back(100.0 * (cpuSeconds() - cpuBefore) / (ms(end - start) / 1000.0));
  }
  panelRig.withSerial([](rig::SerialControl& serial) { serial.setPortOpen(false); });
  addRow(rows, "CPU during a sequence, busy-waiting pauses (baseline, %)", cpu, 1, "-");
}

void Bench::measureStartup(std::vector<bench::Row>& rows) {
  std::vector<double> shown;
  std::vector<double> peak;
  if (settings_.startup) {
    bench::XServer server;
    std::string error;
    if (!server.start(error)) {
      problem("start-up not measured: " + error);
    } else {
      // The first start fills the system's caches (fonts, libraries); it is not counted.
      for (int i = -1; i < settings_.startups; ++i) {
        const auto sample = bench::measureStartup(settings_.quillmar, server.display(), error);
        if (!sample) {
          problem("start-up: " + error);
          break;
        }
        if (i < 0) continue;
        shown.push_back(sample->shownMs);
        peak.push_back(sample->peakRssKiB / 1024.0);
      }
    }
  }
  addRow(rows, "Start-up to main window shown, Xvfb (ms)", shown, 1, "<= 500 ms",
         [](const bench::Summary& s) { return s.max <= 500.0; });
  // The target is in megabytes of 10^6 bytes; the figures are in MiB.
  addRow(rows, "Peak memory (RSS, MiB)", peak, 1, "<= 60 MB",
         [](const bench::Summary& s) { return s.max * 1.048576 <= 60.0; });
}

void Bench::measureRemote(std::vector<bench::Row>& rows) {
  bench::RemoteSettings remote;
  remote.requests = settings_.reactions;
  remote.clients = settings_.remoteClients;
  remote.sequencesEach = settings_.remoteSequences;
  const bench::RemoteFigures figures = bench::measureRemote(sim_, remote, idle);
  for (const std::string& what : figures.problems) problem(what);
  addRow(rows, "Remote request to its query's first byte at the module, through the panel (ms)",
         figures.firstByteMs, 3, "median <= 1 ms",
         [](const bench::Summary& s) { return s.median <= 1.0; });
  addRow(rows,
         std::to_string(remote.clients) + " clients x " + std::to_string(remote.sequencesEach) +
             " sequences at once: all run, none overlap, none lost; total / wire limit (ratio)",
         figures.sequencesRatio, 4, "<= 1.02",
         [](const bench::Summary& s) { return s.max <= 1.02; });
}

void Bench::measureWeb(std::vector<bench::Row>& rows) {
  const bench::WebFigures figures = bench::measureWeb(sim_, settings_.reactions, idle);
  for (const std::string& what : figures.problems) problem(what);
  addRow(rows, "Phone remote: POST to its query's first byte at the module, loopback (ms)",
         figures.firstByteMs, 3, "median <= 2 ms",
         [](const bench::Summary& s) { return s.median <= 2.0; });
  addRow(rows, "Phone remote: state change to its event at a connected page (ms)", figures.pushMs,
         3, "median <= 20 ms", [](const bench::Summary& s) { return s.median <= 20.0; });
}

void Bench::measureShots(std::vector<bench::Row>& rows) {
  const bench::ShotFigures figures = bench::measureShots(sim_, settings_.shots, idle);
  for (const std::string& what : figures.problems) problem(what);
  const auto pulseMet = [](const bench::Summary& s) {
    return s.min >= 0.0 && s.median <= 1.0 && s.max <= 5.0;
  };
  for (int i = 0; i < 3; ++i) {
    char name[96];
    std::snprintf(name, sizeof name,
                  "Pulse of %g s asked, first bytes at the module: its error (ms)",
                  bench::kPulseSeconds[i]);
    addRow(rows, name, figures.pulseErrorMs[i], 3, ">= 0, median <= 1, max <= 5", pulseMet);
  }
  addRow(rows,
         "Series of " + std::to_string(settings_.shots.seriesShots) +
             " pulses 1 s apart: the last one's drift from its schedule (ms)",
         figures.seriesDriftMs, 3, "<= 2 ms",
         [](const bench::Summary& s) { return s.max <= 2.0 && s.min >= -2.0; });
  addRow(rows, "Reaction, flash request to its query's first byte at the module, no journal (ms)",
         figures.reactionMs[0], 3, "<= 5 ms", [](const bench::Summary& s) { return s.max <= 5.0; });
  addRow(rows, "Reaction, flash request to its query's first byte at the module, journal on (ms)",
         figures.reactionMs[1], 3, "<= 5 ms", [](const bench::Summary& s) { return s.max <= 5.0; });
  addRow(rows, "Pulse of 0.5 s asked, first bytes at the module, journal on: its error (ms)",
         figures.journalPulseErrorMs, 3, ">= 0, median <= 1, max <= 5", pulseMet);
}

std::vector<bench::Row> Bench::run() {
  std::vector<bench::Row> rows;
  if (settings_.webOnly) {
    measureWeb(rows);
    return rows;
  }
  if (settings_.shotsOnly) {
    measureShots(rows);
    return rows;
  }
  if (settings_.boardsOnly) {
    measureBoards(rows);
    return rows;
  }
  if (settings_.camerasOnly) {
    measureCameras(rows);
    return rows;
  }
  if (settings_.reconnectsOnly) {
    measureReconnects(rows);
    return rows;
  }
  if (settings_.viewsOnly) {
    measureViews(rows);
    return rows;
  }
  if (settings_.baselineOnly) {
    measureBaseline(rows);
    return rows;
  }
  std::fprintf(stderr, "quillmar-bench: port scans...\n");
  measureScans(rows);
  std::fprintf(stderr, "quillmar-bench: pulses, reactions, sequences...\n");
  measurePanel(rows);
  std::fprintf(stderr, "quillmar-bench: late answers...\n");
  measureLateAnswers(rows);
  std::fprintf(stderr, "quillmar-bench: requests through the local socket...\n");
  measureRemote(rows);
  std::fprintf(stderr, "quillmar-bench: requests through the phone remote...\n");
  measureWeb(rows);
  std::fprintf(stderr, "quillmar-bench: pulses and series of their own times, the journal...\n");
  measureShots(rows);
  std::fprintf(stderr, "quillmar-bench: relay boards of every kind...\n");
  measureBoards(rows);
  std::fprintf(stderr, "quillmar-bench: rigs of many cameras...\n");
  measureCameras(rows);
  std::fprintf(stderr, "quillmar-bench: the views of a rig of 16 cameras...\n");
  measureViews(rows);
  std::fprintf(stderr, "quillmar-bench: busy-wait baseline...\n");
  measureBaseline(rows);
  std::fprintf(stderr, "quillmar-bench: unplug and replug...\n");
  measureReconnects(rows);
  std::fprintf(stderr, "quillmar-bench: start-up...\n");
  measureStartup(rows);
  return rows;
}

void Bench::measureBoards(std::vector<bench::Row>& rows) {
  const bench::BoardFigures figures =
      bench::measureBoards(sim_, wideSim_, kWideTextId, settings_.boards);
  for (const std::string& what : figures.problems) problem(what);
  for (const bench::BoardKindFigures& kind : figures.kinds) {
    const std::string name =
        "Flash request to its switch at the board, through the rig service: " + kind.label +
        " (ms)";
    if (kind.wireMs > 0) {
      const double limit = kind.wireMs + kind.frames * kind.frameGapMs + kBoardSwitchSlackMs;
      char target[160];
      std::snprintf(target, sizeof target, "median <= %.1f ms on the wire", kind.wireMs);
      std::string words = target + (" (" + kind.wireWords + ")");
      if (kind.frames > 0) {
        std::snprintf(target, sizeof target, " + %d x %.1f ms of silence before a request",
                      kind.frames, kind.frameGapMs);
        words += target;
      }
      words += " + 2 ms";
      addRow(rows, name, kind.flashMs, 3, words,
             [limit](const bench::Summary& s) { return s.median <= limit; });
    } else {
      addRow(rows, name, kind.flashMs, 3, "- (no wire)");
    }
    addRow(rows,
           std::to_string(bench::kInARow) +
               " flash requests queued at once, first switch to last at the board: " + kind.label +
               " (ms)",
           kind.inARowMs, 3, "(for comparison)");
  }
}

void Bench::measureCameras(std::vector<bench::Row>& rows) {
  const bench::CameraFigures figures =
      bench::measureCameras(wideSim_, kWideTextId, settings_.cameras);
  for (const std::string& what : figures.problems) problem(what);
  // An error either way: an early landing is as wrong as a late one.
  const auto within1 = [](const bench::Summary& s) {
    return s.median <= 1.0 && s.median >= -1.0 && s.p99 <= 2.0 && s.min >= -2.0;
  };
  const std::string exact = "median within 1 ms, p99 within 2 ms";
  // Lines meant for one moment on a board without a command for several: only their first lands
  // at it, the others a command's time apart; the lateness of the first is the row's minimum.
  const auto oneMoment = [&exact](const bench::CameraSamples& kind) {
    return kind.oneCommand ? exact : std::string("- (no command for several relays)");
  };
  for (const bench::OneBoardCameras& kind : figures.oneBoard) {
    const std::string name =
        "8 cameras on one board, one shot, shutters first to last at the board: " + kind.boards +
        " (ms)";
    if (kind.oneCommand) {
      addRow(rows, name, kind.shotMs, 3, "<= 1.5 ms",
             [](const bench::Summary& s) { return s.max <= 1.5; });
    } else {
      addRow(rows, name, kind.shotMs, 3, "- (no command for several relays)");
    }
  }
  for (const bench::CameraSamples& pair : figures.twoBoards) {
    addRow(rows,
           "16 cameras on two boards, one shot, shutters first to last across both: " +
               pair.boards + " (ms)",
           pair.ms, 3, "<= 2 ms", [](const bench::Summary& s) { return s.max <= 2.0; });
  }
  for (const bench::CameraSamples& kind : figures.armedTogetherError) {
    const auto met = kind.oneCommand ? within1 : std::function<bool(const bench::Summary&)>{};
    addRow(rows,
           "Armed shot of 8 cameras at one moment, each shutter at the board against its time: "
           "its error: " +
               kind.boards + " (ms)",
           kind.ms, 3, oneMoment(kind), met);
  }
  const std::string lead = std::to_string(bench::kCameraFocusLead.count());
  const std::string step = std::to_string(bench::kCameraDelayStep.count());
  for (const bench::CameraSamples& kind : figures.focusError) {
    const auto met = kind.oneCommand ? within1 : std::function<bool(const bench::Summary&)>{};
    addRow(rows,
           "Armed shot, focus lead of " + lead +
               " ms, each focus line at the board against its time: its error: " + kind.boards +
               " (ms)",
           kind.ms, 3, oneMoment(kind), met);
  }
  for (const bench::CameraSamples& kind : figures.delayError) {
    addRow(rows,
           "Armed shot, camera delays " + step +
               " ms apart, each shutter at the board against its time: its error: " + kind.boards +
               " (ms)",
           kind.ms, 3, exact, within1);
  }
  for (const bench::CameraSamples& kind : figures.putBackMs) {
    addRow(rows,
           "A rig file's board put back, to its reset's first relay off at the board: " +
               kind.boards + " (ms)",
           kind.ms, 1, "median <= 1500 ms",
           [](const bench::Summary& s) { return s.median <= 1500.0; });
  }
}

void Bench::measureViews(std::vector<bench::Row>& rows) {
  const bench::ViewFigures figures =
      bench::measureViews(settings_.viewShots, settings_.idleCpuSamples, idle);
  for (const std::string& what : figures.problems) problem(what);
  addRow(rows, "Rig window, 16 cameras: state change to its repaint (ms)", figures.repaintMs, 3,
         "median <= 20 ms", [](const bench::Summary& s) { return s.median <= 20.0; });
  addRow(rows, "Phone remote, 16 cameras: state change to its event at a connected page (ms)",
         figures.pushMs, 3, "median <= 50 ms",
         [](const bench::Summary& s) { return s.median <= 50.0; });
  addRow(rows,
         "CPU of the idle rig window, 16 cameras, 10 s, cursor at rest (% of one core, its thread)",
         figures.idleCpu, 3, "< 0.1 %", [](const bench::Summary& s) { return s.max < 0.1; });
}

void Bench::measureReconnects(std::vector<bench::Row>& rows) {
  const bench::ReconnectSamples samples =
      bench::measureReconnects(settings_.reconnects, settings_.idleCpuSamples);
  for (const std::string& what : samples.problems) problem(what);
  addRow(rows, "Device gone to \"Port Lost\" shown (ms)", samples.lostMs, 2, "median <= 100 ms",
         [](const bench::Summary& s) { return s.median <= 100.0; });
  addRow(rows, "Device back to its first \"relay off 0\" at the module (ms)", samples.backMs, 2,
         "median <= 500 ms", [](const bench::Summary& s) { return s.median <= 500.0; });
  addRow(rows, "CPU while waiting for a lost module, 10 s, cursor at rest (% of one core)",
         samples.idleCpu, 3, "<= 0.1 %", [](const bench::Summary& s) { return s.max <= 0.1; });
  addRow(rows, "CPU of the idle panel with its port open, 10 s, cursor at rest (baseline, %)",
         samples.idleCpuOpen, 3, "-");
}

std::optional<Settings> parse(int argc, char** argv, int& exitCode) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage.data(), stdout);
      exitCode = 0;
      return std::nullopt;
    }
    if (arg == "--quick") {
      settings.quick = true;
      settings.lateQueries = 3;
      settings.pulses = 10;
      settings.reactions = 10;
      settings.sequences = 2;
      settings.repaintSequences = 1;
      settings.baselineSequences = 1;
      settings.scans = 3;
      settings.startups = 2;
      settings.reconnects = 3;
      settings.idleCpuSamples = 1;
      settings.remoteClients = 2;
      settings.remoteSequences = 2;
      settings.shots = {5, 5, 2, 10, 1.0, 10};
      settings.boards = {5, 3};
      settings.cameras = {3, 2, 1};
      settings.viewShots = 3;
    } else if (arg == "--list-rows") {
      std::ifstream rows(QUILLMAR_BENCH_ROWS);
      std::cout << rows.rdbuf();
      exitCode = 0;
      return std::nullopt;
    } else if (arg == "--shots-only") {
      settings.shotsOnly = true;
    } else if (arg == "--boards-only") {
      settings.boardsOnly = true;
    } else if (arg == "--cameras-only") {
      settings.camerasOnly = true;
    } else if (arg == "--reconnects-only") {
      settings.reconnectsOnly = true;
    } else if (arg == "--views-only") {
      settings.viewsOnly = true;
    } else if (arg == "--baseline-only") {
      settings.baselineOnly = true;
    } else if (arg == "--no-startup") {
      settings.startup = false;
    } else if (arg == "--web-only") {
      settings.webOnly = true;
    } else if (arg == "--samples" && i + 1 < argc) {
      settings.samplesFile = argv[++i];
    } else if (arg == "--quillmar" && i + 1 < argc) {
      settings.quillmar = argv[++i];
    } else {
      std::fprintf(stderr, "quillmar-bench: unknown option '%s'\n%s", argv[i], kUsage.data());
      exitCode = 2;
      return std::nullopt;
    }
  }
  return settings;
}

}  // namespace

int main(int argc, char** argv) {
  int exitCode = 0;
  const std::optional<Settings> settings = parse(argc, argv, exitCode);
  if (!settings) return exitCode;

  // The module runs in a process of its own, forked before Qt starts any thread.
  sim::Options options;
  options.paced = true;
  sim::Options lateOptions = options;
  lateOptions.replyDelay = kLateAnswer;
  std::unique_ptr<bench::SimProcess> sim;
  sim::Options wideOptions = options;
  wideOptions.relays = 8;
  // Named in the rig files of the camera rows as "text-id:" and this.
  wideOptions.identification = kWideTextId;
  std::unique_ptr<bench::SimProcess> lateSim;
  std::unique_ptr<bench::SimProcess> wideSim;
  try {
    sim = std::make_unique<bench::SimProcess>(options);
    lateSim = std::make_unique<bench::SimProcess>(lateOptions);
    wideSim = std::make_unique<bench::SimProcess>(wideOptions);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "quillmar-bench: %s\n", error.what());
    return 1;
  }

  // The windows are drawn off screen: the benchmark needs no display of its own.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // The simulated Modbus board's server warns of every frame that reaches it in pieces, as each
  // paced frame does.
  QLoggingCategory::setFilterRules(QStringLiteral("qt.modbus.warning=false"));

  // The commit, the date and the load as the run starts, not as it ends.
  const std::string measured = bench::measuredOn();
  const std::string loadBefore = bench::loadAverage();
  Bench bench(*settings, *sim, *lateSim, *wideSim);
  const std::vector<bench::Row> rows = bench.run();
  const std::string loadAfter = bench::loadAverage();

  if (!settings->samplesFile.empty()) {
    std::ofstream out(settings->samplesFile);
    for (const auto& [measurement, value] : bench.samples())
      out << measurement << '\t' << value << '\n';
  }

  utsname system{};
  ::uname(&system);
  // Rows the benchmark does not list (or, in a whole run, listed rows it did not print) are a
  // fault of the benchmark: the guide's tables may name only listed rows.
  const bool whole = !settings->quick && settings->startup && !settings->webOnly &&
                     !settings->shotsOnly && !settings->boardsOnly && !settings->camerasOnly &&
                     !settings->reconnectsOnly && !settings->viewsOnly;
  const std::vector<std::string> differences = bench::unlisted(rows, QUILLMAR_BENCH_ROWS, whole);
  std::printf("%s\n\n", measured.c_str());
  std::printf("%s\n", bench::markdownTable(rows).c_str());
  std::printf("Machine: %ld cores, %s, %s %s; load average %s before, %s after.\n",
              ::sysconf(_SC_NPROCESSORS_ONLN),
              bench::firstLine("/proc/cpuinfo", "model name").c_str(), system.sysname,
              system.release, loadBefore.c_str(), loadAfter.c_str());
  std::printf("Simulated module: %s.\n",
              sim->realtime() ? "real-time priority (its time stamps are not held up by load)"
                              : "normal priority (no permission for real-time; its time stamps "
                                "may be late under load)");
  if (!bench.failures().empty() || (!settings->quick && !differences.empty())) {
    std::printf("\nProblems during the run:\n");
    for (const std::string& failure : bench.failures()) std::printf("- %s\n", failure.c_str());
    for (const std::string& difference : differences) std::printf("- %s\n", difference.c_str());
    return 1;
  }
  bool allMet = true;
  for (const bench::Row& row : rows) allMet = allMet && row.met.value_or(true);
  return allMet ? 0 : 3;
}
