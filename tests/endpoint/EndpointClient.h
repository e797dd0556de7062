#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QString>
#include <vector>

// Runs the event loop for `ms` milliseconds.
inline void spinFor(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Runs the event loop until `done` holds or `ms` milliseconds have passed; whether it held.
template <typename Done>
bool spinUntil(Done done, int ms = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

// A client of the local endpoint on the test's own event loop, so that an endpoint in the same
// thread keeps running while it waits.
class EndpointClient {
 public:
  // Waits until the connection is made or refused: a socket with nobody listening at its address
  // is refused at once, and a caller waiting for the endpoint to listen tries again sooner.
  explicit EndpointClient(const QString& address) {
    socket_.connectToServer(address);
    spinUntil([this] { return socket_.state() != QLocalSocket::ConnectingState; }, 3000);
  }

  bool connected() const { return socket_.state() == QLocalSocket::ConnectedState; }

  void send(const QByteArray& bytes) {
    socket_.write(bytes);
    spinUntil([this] { return socket_.bytesToWrite() == 0 || !connected(); }, 5000);
  }

  // The next `count` answers, fewer when they do not come within `ms`.
  std::vector<QJsonObject> take(std::size_t count, int ms = 10000) {
    std::vector<QJsonObject> answers;
    for (const QByteArray& line : takeLines(count, ms)) {
      answers.push_back(QJsonDocument::fromJson(line).object());
    }
    return answers;
  }

  // The same as the lines sent, unparsed.
  std::vector<QByteArray> takeLines(std::size_t count, int ms = 10000) {
    std::vector<QByteArray> lines;
    spinUntil(
        [&] {
          while (lines.size() < count && socket_.canReadLine()) lines.push_back(socket_.readLine());
          return lines.size() >= count;
        },
        ms);
    return lines;
  }

 private:
  QLocalSocket socket_;
};
