#pragma once

#include <QString>
#include <QWidget>
#include <vector>

#include "rig/RigDescription.h"
#include "service/RigService.h"

class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QTimer;

// The rig of a rig file at a glance, beside the main window: a tile per camera (its lines in
// words, its board, a button firing it alone), each flash with its toggle, each board's link and
// device, "Fire all", STOP, the exposure of the next shot, an armed shot's countdown with DISARM,
// and the last shot in words. Thin, as the main window: it shows the rig service's state and posts
// requests; it repaints when the state changes, and ticks once a second only while a shot waits or
// runs.
class RigWindow : public QWidget {
  Q_OBJECT

 public:
  // On the session's rig service, which runs `description`; `rigName` is the rig file's name.
  RigWindow(service::RigService& service, rig::RigDescription description, const QString& rigName,
            QWidget* parent = nullptr);
  ~RigWindow() override;

  // A camera's lines in words: "focusing", "shutter open", "closed" or "unknown".
  static QString cameraWords(const rig::CameraLines& camera);
  // The last shot in words: which cameras, how late at the boards, what failed.
  static QString shotWords(const service::Request& request, const service::Result& result);

 private:
  struct CameraTile {
    QLabel* lines = nullptr;
    QPushButton* fire = nullptr;
  };
  struct FlashRow {
    QLabel* line = nullptr;
    QPushButton* toggle = nullptr;
  };

  // Shows the state as reported; only what differs from what is shown is set again.
  void follow(const service::State& state);
  // The armed wait's or the running exposure's time, once a second while there is one.
  void showProgress();
  void fire(const std::vector<QString>& cameras);
  // `flash`: the one flash a Flash toggles (every flash when empty).
  void post(service::Action action, const std::vector<QString>& cameras = {},
            const QString& flash = {});

  service::RigService& service_;
  rig::RigDescription description_;
  service::State state_;

  std::vector<CameraTile> cameras_;
  std::vector<FlashRow> flashes_;
  std::vector<QLabel*> boards_;
  QPushButton* fireAll_ = nullptr;
  QPushButton* stop_ = nullptr;
  QPushButton* disarm_ = nullptr;
  QDoubleSpinBox* exposure_ = nullptr;
  QLabel* progress_ = nullptr;
  QLabel* lastShot_ = nullptr;
  QTimer* tick_ = nullptr;
};
