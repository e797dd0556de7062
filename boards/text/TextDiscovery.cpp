#include "TextDiscovery.h"

#include <chrono>
#include <exception>
#include <filesystem>
#include <system_error>

#include "TextBoard.h"
#include "rig/Protocol.h"

namespace rig {

namespace {

// Each port's module has as long to answer as in the panel's scan.
constexpr auto kAnswerTime = std::chrono::milliseconds(500);

std::string portText(int port, const std::string& path) {
  return "port " + std::to_string(port) + " (" + path + ")";
}

// The device a path stands for: links followed, as far as they lead; the path itself when it
// cannot be resolved (a device that is not there now).
std::filesystem::path deviceOf(const std::string& path) {
  std::error_code error;
  auto resolved = std::filesystem::weakly_canonical(path, error);
  return error ? std::filesystem::path(path) : resolved;
}

// Why a reply to "id get" named no module, in words, with the start of what came.
std::string unreadIdentity(const std::string& reply) {
  constexpr std::size_t kShown = 40;
  const std::string start = protocol::escaped(std::string_view(reply).substr(0, kShown)) +
                            (reply.size() > kShown ? "..." : "");
  const std::string_view after =
      std::string_view(reply).substr(std::min(reply.size(), protocol::kIdGet.size()));
  const bool echoed =
      reply.starts_with(protocol::kIdGet) && (after.starts_with('\r') || after.starts_with('\n'));
  // Echoed and then a line with no end yet: too long an answer, or one still arriving.
  if (echoed &&
      after.find_first_of("\r\n>", after.find_first_not_of("\r\n")) == std::string_view::npos) {
    return R"(its answer to "id get" had not ended after )" + std::to_string(kAnswerTime.count()) +
           " ms (" + std::to_string(reply.size()) + R"( characters: ")" + start + "\")";
  }
  return R"(what came back to "id get" is no answer to it: ")" + start + "\"";
}

}  // namespace

TextModules discoverTextModules(SerialControl& serial, Clock& clock) {
  try {
    serial.setPortOpen(false);
  } catch (const std::exception&) {
  }
  const PortList ports = serial.refreshPorts();
  TextModules found;
  TextBoard board(serial, clock);
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (!ports[i].present) continue;
    const int port = static_cast<int>(i + 1);
    std::string reply;
    try {
      serial.setPortNumber(port);
      serial.setPortOpen(true);
      const auto opened = clock.now();
      // Found by name, the module may hold the start of a line it was sent before (a CH340
      // frame under the wrong kind): cleared first, so that "id get" is read alone.
      board.clearLine(opened);
      reply = board.identify(opened, opened + kAnswerTime);
    } catch (const CutShort&) {
      throw;  // the search ends with the wait
    } catch (const std::exception&) {
      // Absent, held, or gone while asked: no module to name there.
    }
    try {
      serial.setPortOpen(false);
    } catch (const std::exception&) {
    }
    std::string identity = protocol::identityOf(reply);
    if (identity.empty()) {
      if (!reply.empty()) found.passedOver.push_back({ports[i].path, unreadIdentity(reply)});
      continue;
    }
    TextModule module{port, FoundBoard{BoardName{"text-id", identity}, 0, {}, ports[i].path, {}},
                      identity, ports[i]};
    module.board.abilities.readBack = true;
    module.board.problem = identityProblem(module.board.name);
    found.found.push_back(std::move(module));
  }
  return found;
}

ResolvedPort resolveTextBoard(const BoardName& name, SerialControl& serial, Clock& clock) {
  if (name.kind == "text") {
    const PortList ports = serial.refreshPorts();
    const auto wanted = deviceOf(name.identity);
    for (std::size_t i = 0; i < ports.size(); ++i) {
      if (ports[i].path != name.identity && deviceOf(ports[i].path) != wanted) continue;
      if (!ports[i].present) break;
      return {static_cast<int>(i + 1), ports[i]};
    }
    throw failed(FailureKind::NoDevice, "no port is " + name.identity);
  }
  if (name.kind != "text-id") {
    throw failed(FailureKind::Other, name.text() + " is no text module's name");
  }
  std::optional<ResolvedPort> match;
  for (const TextModule& module : discoverTextModules(serial, clock).found) {
    if (module.identity != name.identity) continue;
    const DeviceInfo& device = module.device;
    if (match && deviceOf(match->device.path) == deviceOf(device.path)) continue;
    if (match) {
      // Never a guess: the operator must tell the two apart.
      throw failed(FailureKind::Ambiguous, R"(two boards answer "id get" with ")" +
                                               protocol::escapedText(name.identity) +
                                               "\": " + portText(match->port, match->device.path) +
                                               " and " + portText(module.port, device.path) +
                                               "; name the one meant by its device (text:<path>)");
    }
    match = ResolvedPort{module.port, device};
  }
  if (!match) {
    throw failed(FailureKind::NoDevice, R"(no board answers "id get" with ")" +
                                            protocol::escapedText(name.identity) + "\"");
  }
  return *match;
}

}  // namespace rig
