#pragma once

#include <QString>
#include <ostream>
#include <vector>

#include "windows/Form1.h"

// A warning the main window would have shown the operator.
struct Failure {
  QString title;
  QString text;
};

// Records the main window's warnings in `into` instead of showing them, for as long as it lives.
class FailureRecorder {
 public:
  explicit FailureRecorder(std::vector<Failure>& into) {
    Form1::setFailureReporter([&into](const QString& title, const QString& text) {
      into.push_back({title, text});
    });
  }
  ~FailureRecorder() { Form1::setFailureReporter(nullptr); }
  FailureRecorder(const FailureRecorder&) = delete;
  FailureRecorder& operator=(const FailureRecorder&) = delete;
};

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}
