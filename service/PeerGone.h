#pragma once

#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace service {

// Whether the client on a duplicate of its connection's descriptor has closed the connection
// altogether, not only shut its sending side (as `nc -N` and a piped `curl` do). Without a
// duplicate (-1), or where this cannot be told, it counts as gone.
inline bool peerGone(int duplicate) {
#ifdef Q_OS_UNIX
  if (duplicate < 0) return true;
  pollfd watch{duplicate, POLLOUT, 0};
  return ::poll(&watch, 1, 0) > 0 && (watch.revents & (POLLHUP | POLLERR)) != 0;
#else
  Q_UNUSED(duplicate);
  return true;
#endif
}

}  // namespace service
