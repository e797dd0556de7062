#include "BoardError.h"

#include <bit>
#include <stdexcept>

namespace rig {

void checkRelayNumber(int relay, int count) {
  if (relay < 0 || relay >= count) {
    throw std::out_of_range("relay " + std::to_string(relay) + " on a board with " +
                            std::to_string(count) + " relays");
  }
}

void checkRelayMask(RelayMask which, int count) {
  const RelayMask beyond = which & ~allRelays(count);
  if (beyond != 0) checkRelayNumber(std::countr_zero(beyond), count);
}

}  // namespace rig
