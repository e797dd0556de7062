#include "RigWindow.h"

#include <QDateTime>
#include <QDoubleSpinBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <utility>

#include "rig/Timings.h"
#include "service/Reply.h"

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

// Camera tiles in a row before the next row starts: eight cameras make two rows of four.
constexpr int kTilesPerRow = 4;

// The exposure field's limits in seconds, the pulse's own as on the phone page; to 10 ms.
constexpr double kShortestExposure = std::chrono::duration<double>(rig::kShortestPulse).count();
constexpr double kLongestExposure = std::chrono::duration<double>(rig::kLongestPulse).count();
constexpr int kExposureDecimals = 2;

// Sets a label's text only when it differs: an unchanged label is not repainted.
void setIfChanged(QLabel* label, const QString& text) {
  if (label->text() != text) label->setText(text);
}

QLabel* named(const QString& text, const QString& accessibleName, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setAccessibleName(accessibleName);
  return label;
}

// "every camera", "cam3", "cam1, cam2 and cam5".
QString cameraList(const std::vector<QString>& cameras) {
  if (cameras.empty()) return QStringLiteral("every camera");
  QStringList names(cameras.begin(), cameras.end());
  if (names.size() == 1) return names.front();
  const QString last = names.takeLast();
  return QStringLiteral("%1 and %2").arg(names.join(QStringLiteral(", ")), last);
}

// "ring", or "ring and lights" for a camera whose focus is on another board.
QString boardsOf(const rig::RigCamera& camera) {
  QString boards = qs(camera.shutter.board);
  if (camera.focus && camera.focus->board != camera.shutter.board) {
    boards += QStringLiteral(" and ") + qs(camera.focus->board);
  }
  return boards;
}

QString linkWords(const service::BoardStatus& board) {
  if (board.link == QLatin1String("not-found")) return QStringLiteral("not found");
  return board.link;
}

// Whole seconds left, rounded up: "fires in 1 s" until the very moment.
qint64 secondsUntil(std::chrono::system_clock::time_point at) {
  const auto left = at - std::chrono::system_clock::now();
  return std::max<qint64>(
      0, std::chrono::ceil<std::chrono::seconds>(std::max(left, left.zero())).count());
}

double secondsBetween(std::chrono::system_clock::time_point from,
                      std::chrono::system_clock::time_point to) {
  return std::max(0.0, std::chrono::duration<double>(to - from).count());
}

}  // namespace

RigWindow::RigWindow(service::RigService& service, rig::RigDescription description,
                     const QString& rigName, QWidget* parent)
    : QWidget(parent), service_(service), description_(std::move(description)) {
  setObjectName(QStringLiteral("RigWindow"));
  setWindowTitle(QStringLiteral("Rig %1").arg(rigName));
  setAccessibleName(QStringLiteral("Rig %1").arg(rigName));
  auto* layout = new QVBoxLayout(this);

  auto* boards = new QGroupBox(QStringLiteral("Boards"), this);
  auto* boardRows = new QVBoxLayout(boards);
  for (const rig::RigBoard& board : description_.boards) {
    QLabel* row = named(QString(), QStringLiteral("Board %1").arg(qs(board.name)), boards);
    boardRows->addWidget(row);
    boards_.push_back(row);
  }
  layout->addWidget(boards);

  auto* cameras = new QGroupBox(QStringLiteral("Cameras"), this);
  auto* grid = new QGridLayout(cameras);
  for (std::size_t i = 0; i < description_.cameras.size(); ++i) {
    const rig::RigCamera& camera = description_.cameras[i];
    const QString name = qs(camera.name);
    auto* tile = new QFrame(cameras);
    tile->setFrameShape(QFrame::StyledPanel);
    tile->setAccessibleName(QStringLiteral("Camera %1").arg(name));
    auto* rows = new QVBoxLayout(tile);
    QLabel* title = named(QStringLiteral("<b>%1</b>").arg(name.toHtmlEscaped()),
                          QStringLiteral("Camera %1 name").arg(name), tile);
    title->setTextFormat(Qt::RichText);
    CameraTile shown;
    shown.lines =
        named(QStringLiteral("unknown"), QStringLiteral("Camera %1 lines").arg(name), tile);
    QLabel* board = named(QStringLiteral("on %1").arg(boardsOf(camera)),
                          QStringLiteral("Camera %1 board").arg(name), tile);
    shown.fire = new QPushButton(QStringLiteral("Fire"), tile);
    shown.fire->setAccessibleName(QStringLiteral("Fire %1").arg(name));
    shown.fire->setToolTip(QStringLiteral("Fires %1 alone").arg(name));
    for (QWidget* widget : {static_cast<QWidget*>(title), static_cast<QWidget*>(shown.lines),
                            static_cast<QWidget*>(board), static_cast<QWidget*>(shown.fire)}) {
      rows->addWidget(widget);
    }
    connect(shown.fire, &QPushButton::clicked, this, [this, name] { fire({name}); });
    grid->addWidget(tile, static_cast<int>(i) / kTilesPerRow, static_cast<int>(i) % kTilesPerRow);
    cameras_.push_back(shown);
  }
  layout->addWidget(cameras);

  if (!description_.flashes.empty()) {
    auto* flashes = new QGroupBox(QStringLiteral("Flashes"), this);
    // A row per flash: its state, and a toggle that switches that flash alone ("Main Flash" in
    // the main window toggles them all).
    auto* flashRows = new QGridLayout(flashes);
    flashRows->setColumnStretch(1, 1);
    for (std::size_t i = 0; i < description_.flashes.size(); ++i) {
      const QString name = qs(description_.flashes[i].name);
      FlashRow row;
      row.line = named(QString(), QStringLiteral("Flash %1").arg(name), flashes);
      row.toggle = new QPushButton(QStringLiteral("Toggle flash"), flashes);
      row.toggle->setAccessibleName(QStringLiteral("Toggle flash %1").arg(name));
      row.toggle->setToolTip(QStringLiteral("Toggles %1 alone").arg(name));
      connect(row.toggle, &QPushButton::clicked, this,
              [this, name] { post(service::Action::Flash, {}, name); });
      flashRows->addWidget(row.line, static_cast<int>(i), 0);
      flashRows->addWidget(row.toggle, static_cast<int>(i), 2);
      flashes_.push_back(row);
    }
    layout->addWidget(flashes);
  }

  auto* shot = new QGroupBox(QStringLiteral("Shot"), this);
  auto* shotRows = new QGridLayout(shot);
  auto* exposureLabel = new QLabel(QStringLiteral("Exposure:"), shot);
  exposure_ = new QDoubleSpinBox(shot);
  exposure_->setAccessibleName(QStringLiteral("Exposure"));
  exposure_->setToolTip(
      QStringLiteral("How long each shutter is held for the next shot, "
                     "0.05 s to 3600 s (a bulb)"));
  exposure_->setRange(kShortestExposure, kLongestExposure);
  exposure_->setDecimals(kExposureDecimals);
  exposure_->setSuffix(QStringLiteral(" s"));
  exposure_->setStepType(QAbstractSpinBox::AdaptiveDecimalStepType);
  exposure_->setValue(std::chrono::duration<double>(description_.timings.pulse).count());
  exposureLabel->setBuddy(exposure_);
  fireAll_ = new QPushButton(QStringLiteral("Fire all"), shot);
  fireAll_->setAccessibleName(QStringLiteral("Fire all"));
  fireAll_->setToolTip(QStringLiteral("Fires every camera (Space or Enter)"));
  stop_ = new QPushButton(QStringLiteral("STOP"), shot);
  stop_->setAccessibleName(QStringLiteral("Stop"));
  stop_->setToolTip(QStringLiteral("Ends what runs and releases every shutter (Escape)"));
  disarm_ = new QPushButton(QStringLiteral("DISARM"), shot);
  disarm_->setAccessibleName(QStringLiteral("Disarm"));
  progress_ = named(QString(), QStringLiteral("Shot in progress"), shot);
  lastShot_ = named(QStringLiteral("Last shot: none yet"), QStringLiteral("Last shot"), shot);
  lastShot_->setWordWrap(true);
  shotRows->addWidget(exposureLabel, 0, 0);
  shotRows->addWidget(exposure_, 0, 1);
  shotRows->addWidget(fireAll_, 0, 2);
  shotRows->addWidget(stop_, 0, 3);
  shotRows->addWidget(disarm_, 0, 4);
  shotRows->addWidget(progress_, 1, 0, 1, 5);
  shotRows->addWidget(lastShot_, 2, 0, 1, 5);
  layout->addWidget(shot);

  connect(fireAll_, &QPushButton::clicked, this, [this] { fire({}); });
  connect(stop_, &QPushButton::clicked, this, [this] { post(service::Action::Stop); });
  connect(disarm_, &QPushButton::clicked, this, [this] { post(service::Action::Disarm); });
  // Space or Enter fires every camera and Escape stops, wherever the focus is in the window.
  for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) {
    connect(new QShortcut(QKeySequence(key), this), &QShortcut::activated, fireAll_,
            &QPushButton::click);
  }
  connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
          [this] { post(service::Action::Stop); });

  tick_ = new QTimer(this);
  tick_->setInterval(std::chrono::seconds(1));
  connect(tick_, &QTimer::timeout, this, &RigWindow::showProgress);

  connect(&service_, &service::RigHost::stateChanged, this, &RigWindow::follow);
  connect(&service_, &service::RigService::shotEnded, this,
          [this](const service::Request& request, const service::Result& result) {
            setIfChanged(lastShot_,
                         QStringLiteral("Last shot: %1").arg(shotWords(request, result)));
          });
  follow(service_.state());
}

RigWindow::~RigWindow() { disconnect(&service_, nullptr, this, nullptr); }

QString RigWindow::cameraWords(const rig::CameraLines& camera) {
  if (camera.shutter == rig::LineState::On) return QStringLiteral("shutter open");
  if (camera.focus == rig::LineState::On) return QStringLiteral("focusing");
  if (camera.shutter == rig::LineState::Unknown || camera.focus == rig::LineState::Unknown) {
    return QStringLiteral("unknown");
  }
  return QStringLiteral("closed");
}

QString RigWindow::shotWords(const service::Request& request, const service::Result& result) {
  const QString who = request.action == service::Action::Sequence
                          ? QStringLiteral("the two-shot sequence of every camera")
                          : cameraList(request.cameras);
  QString words;
  if (result.ok && result.stopped && !result.message.isEmpty()) {
    words = QStringLiteral("%1: %2").arg(who, result.message);
  } else if (result.ok) {
    words = QStringLiteral("%1 fired").arg(who);
    if (const auto error = service::shotError(request, result)) {
      const double ms = *error * 1000.0;
      words += ms >= 0 ? QStringLiteral(", %1 ms late at the boards").arg(ms, 0, 'f', 1)
                       : QStringLiteral(", %1 ms early at the boards").arg(-ms, 0, 'f', 1);
    }
  } else if (result.failure.kind == rig::FailureKind::Disarmed) {
    words = QStringLiteral("%1 disarmed: nothing fired").arg(who);
  } else {
    words = QStringLiteral("%1 failed: %2").arg(who, result.message);
  }
  return QStringLiteral("%1, at %2")
      .arg(words, QTime::currentTime().toString(QStringLiteral("HH:mm:ss")));
}

void RigWindow::follow(const service::State& state) {
  state_ = state;
  for (std::size_t i = 0; i < boards_.size(); ++i) {
    const QString name = qs(description_.boards[i].name);
    const auto found =
        std::find_if(state.boards.begin(), state.boards.end(),
                     [&name](const service::BoardStatus& board) { return board.name == name; });
    if (found == state.boards.end()) {
      setIfChanged(boards_[i], QStringLiteral("%1: closed").arg(name));
      continue;
    }
    // The device, with the board's name when that name says more than the device's path.
    QString where = found->device.isEmpty() ? found->board : found->device;
    if (!found->device.isEmpty() && !found->board.endsWith(found->device)) {
      where += QStringLiteral(" (%1)").arg(found->board);
    }
    setIfChanged(boards_[i], QStringLiteral("%1: %2, %3").arg(name, linkWords(*found), where));
  }
  for (std::size_t i = 0; i < cameras_.size(); ++i) {
    const bool known = state.roles && i < state.roles->cameras.size();
    setIfChanged(cameras_[i].lines,
                 known ? cameraWords(state.roles->cameras[i]) : QStringLiteral("unknown"));
  }
  for (std::size_t i = 0; i < flashes_.size(); ++i) {
    const bool known = state.roles && i < state.roles->flashes.size();
    const rig::LineState line = known ? state.roles->flashes[i].line : rig::LineState::Unknown;
    const QString word = line == rig::LineState::On    ? QStringLiteral("on")
                         : line == rig::LineState::Off ? QStringLiteral("off")
                                                       : QStringLiteral("unknown");
    setIfChanged(flashes_[i].line,
                 QStringLiteral("%1: %2").arg(qs(description_.flashes[i].name), word));
  }

  // Anything running, from any channel, keeps the firing buttons off and STOP on.
  const bool running = state.busy || state.rig.running.has_value() || state.rig.shots > 0;
  const bool canFire = state.rig.actionsEnabled && !running && !state.armedAt;
  fireAll_->setEnabled(canFire);
  for (const CameraTile& tile : cameras_) tile.fire->setEnabled(canFire);
  for (const FlashRow& row : flashes_) row.toggle->setEnabled(canFire);
  stop_->setEnabled(running);
  disarm_->setEnabled(state.armedAt.has_value());

  const bool waiting = state.armedAt.has_value() || state.rig.running.has_value();
  if (waiting && !tick_->isActive()) tick_->start();
  if (!waiting) tick_->stop();
  showProgress();
}

void RigWindow::showProgress() {
  const service::State& state = state_;
  const auto now = std::chrono::system_clock::now();
  QString text;
  if (state.armedAt) {
    text = QStringLiteral("Armed: fires in %1 s").arg(secondsUntil(*state.armedAt));
  } else if (const auto& running = state.rig.running) {
    const QString what = running->action == rig::Shots::Sequence ? QStringLiteral("Sequence")
                                                                 : QStringLiteral("Exposure");
    text = QStringLiteral("%1: %2 gone, %3 left")
               .arg(what, service::secondsWords(secondsBetween(running->since, now)),
                    service::secondsWords(secondsBetween(now, running->until)));
    if (state.rig.shots > 0) {
      text += QStringLiteral(" (shot %1 of %2)").arg(state.rig.shot).arg(state.rig.shots);
    }
  } else if (state.busy) {
    text = QStringLiteral("Busy");
  } else if (!state.rig.actionsEnabled) {
    text = QStringLiteral("Not open: \"Open Com Port\" in the main window opens the boards");
  } else {
    text = QStringLiteral("Ready");
  }
  setIfChanged(progress_, text);
}

void RigWindow::fire(const std::vector<QString>& cameras) {
  // Nothing fires on a key while anything runs or waits.
  if (!fireAll_->isEnabled()) return;
  post(service::Action::Shutter, cameras);
}

void RigWindow::post(service::Action action, const std::vector<QString>& cameras,
                     const QString& flash) {
  service::Request request;
  request.action = action;
  request.origin = service::Origin::Click;
  request.cameras = cameras;
  request.flash = flash;
  if (action == service::Action::Shutter) request.times.pulse = exposure_->value();
  // A failure is told with the state and in the last shot's words, not in a dialog.
  service_.send(request, this);
}
