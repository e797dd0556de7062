#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace bench {

// A private X server (Xvfb) for the start-up measurement, on a display number it picks itself.
class XServer {
 public:
  XServer() = default;
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  // Starts the server; false with `error` set when it cannot be had.
  bool start(std::string& error);
  // ":N".
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

struct StartupSample {
  double shownMs = 0;     // from starting the process to its main window being mapped
  double peakRssKiB = 0;  // VmHWM once the window is up and painted
};

// Starts `program` on `display` and watches the X server for its main window (the title holds
// "KOVRA") to be mapped; then reads its peak resident size and ends it. Nothing, with `error`
// set, when the window does not appear within the time allowed.
std::optional<StartupSample> measureStartup(const std::string& program, const std::string& display,
                                            std::string& error);

}  // namespace bench
