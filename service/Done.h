#pragma once

#include <QString>
#include <optional>
#include <utility>

namespace service {

// What a step that may fail returns (an option read, a file opened, a socket listened on): true
// when it was done; false with its reason, in the words its caller shows as they are. A value
// the step makes goes to a reference the caller hands it.
class Done {
 public:
  // Done.
  Done() = default;
  // Not done, for `reason`.
  static Done no(QString reason) {
    Done done;
    done.reason_ = std::move(reason);
    return done;
  }

  explicit operator bool() const { return !reason_.has_value(); }
  // Why it was not done; empty when it was.
  QString reason() const { return reason_.value_or(QString()); }

  // Whether its success is `done`: a listen's outcome against what a check expects of it.
  friend bool operator==(const Done& outcome, bool done) {
    return static_cast<bool>(outcome) == done;
  }

 private:
  std::optional<QString> reason_;
};

}  // namespace service
