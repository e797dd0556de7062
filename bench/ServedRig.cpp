#include "ServedRig.h"

#include <QEventLoop>
#include <QTimer>
#include <optional>
#include <stdexcept>
#include <utility>

#include "rigfile/RigFile.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "service/Reply.h"

namespace bench {

ServedRig::ServedRig(const std::string& rigFile, boards::Catalog::Parts parts)
    : service_([] { return std::make_unique<serial::CommControl>(serial::PortMap{}); }) {
  service_.useRig(rigfile::parse(rigFile, "bench.toml"),
                  [parts = std::move(parts)] { return std::make_unique<boards::Catalog>(parts); });
  QObject::connect(&service_, &service::RigHost::stateChanged,
                   [this](const service::State& state) { state_ = state; });
}

service::Result ServedRig::ask(const service::Request& request, std::chrono::milliseconds limit) {
  return askAll({request}, limit).front();
}

std::vector<service::Result> ServedRig::askAll(const std::vector<service::Request>& requests,
                                               std::chrono::milliseconds limit) {
  std::vector<std::optional<service::Result>> results(requests.size());
  std::size_t answered = 0;
  // The replies and their connections go with this call: an answer after it is dropped.
  QObject asked;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    service::Reply* reply = service_.send(requests[i], &asked);
    QObject::connect(reply, &service::Reply::finished, &asked, [&results, &answered, i, reply] {
      results[i] = reply->result();
      ++answered;
    });
  }
  if (!runEventsUntil([&] { return answered == requests.size(); }, limit)) {
    throw std::runtime_error("a request was not answered in time");
  }
  std::vector<service::Result> out;
  out.reserve(results.size());
  for (std::optional<service::Result>& result : results) out.push_back(std::move(*result));
  return out;
}

void ServedRig::open() {
  service::Request request;
  request.action = service::Action::Open;
  const service::Result opened = ask(request);
  if (!opened.ok) throw std::runtime_error("the rig did not open: " + opened.message.toStdString());
}

service::Result ServedRig::shoot(std::optional<std::chrono::system_clock::time_point> at) {
  service::Request request;
  request.action = service::Action::Shutter;
  if (at) request.shot = service::ShotTime{*at, true};
  return ask(request);
}

boards::Catalog::Parts portsOnly(std::vector<std::string> devices) {
  boards::Catalog::Parts parts;
  parts.ports = [devices = std::move(devices)] {
    std::vector<boards::SerialPort> ports;
    for (const std::string& device : devices) ports.push_back({device, {}, {}, {}});
    return ports;
  };
  return parts;
}

bool runEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    // A short sleep in the event loop, not a spin: the rig's thread and the boards need the cores.
    QEventLoop loop;
    QTimer::singleShot(std::chrono::milliseconds(2), &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

}  // namespace bench
