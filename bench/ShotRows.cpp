#include "ShotRows.h"
#include "Stats.h"

#include <QTemporaryDir>
#include <memory>
#include <optional>
#include <utility>

#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "service/Journal.h"
#include "service/Reply.h"
#include "service/RigService.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

class ShotBench {
 public:
  ShotBench(SimProcess& sim, const std::function<void(Clock::duration)>& idle, ShotFigures& figures)
      : sim_(sim), idle_(idle), figures_(figures) {}

  // A rig service of its own on the module's port, opened; false when it did not open.
  bool start(std::unique_ptr<service::Journal> journal) {
    service_ =
        std::make_unique<service::RigService>([device = QString::fromStdString(sim_.device())] {
          return std::make_unique<serial::CommControl>(serial::PortMap({device}));
        });
    if (journal) service_->setJournal(std::move(journal));
    service::Request open;
    open.action = service::Action::Open;
    open.port = QStringLiteral("1");
    const auto result = run(open);
    quiesce();
    return result && result->ok;
  }
  void stop() { service_.reset(); }

  std::optional<service::Result> run(const service::Request& request, Clock::duration limit = 30s) {
    std::optional<service::Result> result;
    QObject asked;
    service::Reply* reply = service_->send(request, &asked);
    QObject::connect(reply, &service::Reply::finished, &asked,
                     [&result, reply] { result = reply->result(); });
    const auto end = Clock::now() + limit;
    while (!result && Clock::now() < end) idle_(1ms);
    return result;
  }

  // Pulses of `seconds`, each one's error at the module from the time asked.
  void pulses(double seconds, int count, std::vector<double>& errors) {
    service::Request pulse;
    pulse.action = service::Action::Shutter;
    pulse.times.pulse = seconds;
    for (int i = 0; i < count; ++i) {
      const std::size_t first = quiesce();
      const auto result = run(pulse, 60s);
      const auto log = logged(first, 3);
      if (!result || !result->ok || log.size() < 3 || log[1].text != "relay on 1" ||
          log[2].text != "relay off 1") {
        figures_.problems.push_back("pulse of " + std::to_string(seconds) + " s: unexpected");
        continue;
      }
      // First byte to first byte: "relay off 1" is a byte longer on the wire.
      errors.push_back(ms(log[2].at - log[1].at) - (wireMs(log[2].text) - wireMs(log[1].text)) -
                       seconds * 1000.0);
      idle_(20ms);
    }
  }

  void reactions(int count, std::vector<double>& samples) {
    service::Request flash;
    flash.action = service::Action::Flash;
    for (int i = 0; i < count; ++i) {
      idle_(40ms);
      const std::size_t first = quiesce();
      const auto asked = Clock::now();
      const auto result = run(flash);
      const auto log = logged(first, 2);
      if (!result || !result->ok || log.empty() || log.front().text != "relay read 0") {
        figures_.problems.emplace_back("flash request: unexpected");
        continue;
      }
      samples.push_back(ms(log.front().at - asked) - wireMs(log.front().text));
    }
    if (count % 2 != 0) run(flash);
  }

  void series(int shots, double interval) {
    service::Request series;
    series.action = service::Action::Shutter;
    series.times.pulse = 0.05;
    series.times.repeat = shots;
    series.times.interval = interval;
    const std::size_t first = quiesce();
    const auto result = run(series, std::chrono::seconds(static_cast<int>(shots * interval) + 60));
    const auto log = logged(first, static_cast<std::size_t>(shots) * 3);
    if (!result || !result->ok || log.size() < static_cast<std::size_t>(shots) * 3) {
      figures_.problems.emplace_back("series: unexpected");
      return;
    }
    // A shot starts with its query; the pulse after it waits for the module's answer.
    const auto firstStart = log[0].at;
    const auto lastStart = log[log.size() - 3].at;
    figures_.seriesDriftMs.push_back(ms(lastStart - firstStart) - (shots - 1) * interval * 1000.0);
  }

 private:
  std::size_t quiesce() {
    while (sim_.waitFor(sim_.log().size() + 1, 100ms)) {
    }
    return sim_.log().size();
  }
  std::vector<SimProcess::Entry> logged(std::size_t first, std::size_t count) {
    while (sim_.log().size() < first + count && sim_.waitFor(sim_.log().size() + 1, 3s)) {
    }
    const auto& log = sim_.log();
    return {log.begin() + static_cast<std::ptrdiff_t>(std::min(first, log.size())), log.end()};
  }

  SimProcess& sim_;
  const std::function<void(Clock::duration)>& idle_;
  ShotFigures& figures_;
  std::unique_ptr<service::RigService> service_;
};

}  // namespace

ShotFigures measureShots(SimProcess& sim, const ShotSettings& settings,
                         const std::function<void(Clock::duration)>& idle) {
  ShotFigures figures;
  ShotBench bench(sim, idle, figures);
  if (!bench.start(nullptr)) {
    figures.problems.emplace_back("the rig service did not open the module's port");
    return figures;
  }
  const int counts[3] = {settings.shortPulses, settings.halfPulses, settings.longPulses};
  for (int i = 0; i < 3; ++i) bench.pulses(kPulseSeconds[i], counts[i], figures.pulseErrorMs[i]);
  bench.reactions(settings.reactions, figures.reactionMs[0]);
  bench.series(settings.seriesShots, settings.seriesInterval);
  bench.stop();

  // The same with every request journalled.
  QTemporaryDir files;
  QString error;
  auto journal = service::Journal::open(files.filePath(QStringLiteral("journal")), error);
  if (!journal || !bench.start(std::move(journal))) {
    figures.problems.push_back("the journalled rig service did not start: " + error.toStdString());
    return figures;
  }
  bench.reactions(settings.reactions, figures.reactionMs[1]);
  bench.pulses(0.5, settings.halfPulses, figures.journalPulseErrorMs);
  bench.stop();
  return figures;
}

}  // namespace bench
