#include "Captions.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <utility>

#include "Labels.h"

namespace rig::captions {

namespace {

constexpr std::array<std::pair<Link, const char*>, 5> kStatus{{
    {Link::NotOpened, "Port Status"},
    {Link::Opened, "Port Found and Opened"},
    {Link::OpenedBySearch, "Port found and opened"},
    {Link::NotFound, "Port Not Found"},
    {Link::Lost, "Port Lost"},
}};
constexpr std::array<std::pair<Flash, const char*>, 3> kFlash{{
    {Flash::Unknown, labels::button("flash").data()},
    {Flash::Off, "Flash 1"},
    {Flash::On, "Flash 2"},
}};
constexpr std::array<std::pair<Shutter, const char*>, 3> kShutter{{
    {Shutter::Closed, labels::button("shutter").data()},
    {Shutter::Open, "Shutter Open"},
    {Shutter::ClosedByReset, "Shutter"},
}};

template <typename Table, typename Key>
std::string lookUp(const Table& table, Key key) {
  for (const auto& [value, text] : table) {
    if (value == key) return text;
  }
  return {};
}

}  // namespace

std::string status(Link link) { return lookUp(kStatus, link); }

namespace {

std::string linkTip(const RigState& state) {
  switch (state.link) {
    case Link::NotOpened:
      return {};
    case Link::Opened:
    case Link::OpenedBySearch:
      if (!state.reconnected) return state.device;
      if (state.reason.empty()) return state.device + " (reconnected)";
      return state.device + " (reconnected; the reset failed: " + state.reason + ")";
    case Link::NotFound:
    case Link::Lost:
      break;
  }
  return state.reason;
}

}  // namespace

std::string series(const RigState& state) {
  if (state.shots <= 0) return {};
  return "shot " + std::to_string(state.shot) + " of " + std::to_string(state.shots);
}

std::string statusTip(const RigState& state) {
  std::string tip = linkTip(state);
  for (const std::string& more :
       {series(state), state.journalFailure.empty()
                           ? std::string()
                           : "the journal cannot be written: " + state.journalFailure}) {
    if (more.empty()) continue;
    tip += (tip.empty() ? "" : "; ") + more;
  }
  // Why the last request failed, on a line of its own: a remote one has no dialog to say it.
  if (!state.failure.empty()) tip += (tip.empty() ? "" : "\n") + state.failure;
  const std::string armedTip = armed(state);
  if (armedTip.empty()) return tip;
  return tip.empty() ? armedTip : tip + "\n" + armedTip;
}

std::string armed(const RigState& state) {
  if (!state.armedAt) return {};
  using namespace std::chrono;
  const auto at = time_point_cast<milliseconds>(*state.armedAt);
  const auto day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss time{at - day};
  char text[64];
  std::snprintf(text, sizeof text, "Armed: shot at %04d-%02u-%02u %02d:%02d:%02d.%03d UTC",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

std::string flash(Flash flash) { return lookUp(kFlash, flash); }

std::string shutter(Shutter shutter) { return lookUp(kShutter, shutter); }

std::string openButton(const RigState& state) {
  return state.foundBySearch ? "Port Open" : std::string(labels::button("open"));
}

}  // namespace rig::captions
