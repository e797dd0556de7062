#include "Board.h"

#include <algorithm>

namespace rig {

std::optional<BoardName> parseBoardName(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view kind = text.substr(0, colon);
  const std::string_view identity = text.substr(colon + 1);
  if (identity.empty() || std::ranges::find(kBoardKinds, kind) == std::end(kBoardKinds)) {
    return std::nullopt;
  }
  return BoardName{std::string(kind), std::string(identity)};
}

Clock::duration Board::groupLead(RelayMask which, RelayMask on) const {
  Clock::duration lead{};
  for (int relay = 0; relay < 32; ++relay) {
    if (((which >> relay) & 1U) != 0) {
      lead = std::max(lead, switchLead(relay, ((on >> relay) & 1U) != 0));
    }
  }
  return lead;
}

}  // namespace rig
