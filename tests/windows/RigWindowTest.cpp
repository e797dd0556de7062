#include <gtest/gtest.h>

#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "boards/Catalog.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "service/RigService.h"
#include "sim/HidRelayModule.h"
#include "windows/RigWindow.h"

using namespace std::chrono_literals;

namespace {

// A rig file's rig on two simulated USB HID boards: camera "left" (focus on relay 0, shutter on
// 1) and flash "main" on relay 2 of board a, camera "right" (shutter on relay 0) and flash "side"
// (relay 1) on board b.
class RigWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      const std::lock_guard lock(hid_->guard);
      hid_->boards["/dev/hidraw-a"].product = "USBRelay4";
      hid_->boards["/dev/hidraw-a"].id = "RIGA";
      hid_->boards["/dev/hidraw-b"].id = "RIGB";
    }
    rig::RigDescription description;
    description.boards = {{"a", rig::BoardName{"hid", "RIGA"}, 4},
                          {"b", rig::BoardName{"hid", "RIGB"}, 2}};
    description.cameras = {{"left", {"a", 1}, rig::RelayLine{"a", 0}, {}},
                           {"right", {"b", 0}, std::nullopt, {}}};
    description.flashes = {{"main", {"a", 2}}, {"side", {"b", 1}}};
    service_.useRig(description, [hid = hid_] {
      boards::Catalog::Parts parts;
      parts.ports = [] { return std::vector<boards::SerialPort>{}; };
      parts.hid = hid;
      return std::make_unique<boards::Catalog>(parts);
    });
    window_ = std::make_unique<RigWindow>(service_, description, QStringLiteral("test.toml"));
    window_->show();
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  }

  void TearDown() override { window_.reset(); }

  // A control found as a screen reader finds it: by its accessible name.
  template <typename Widget>
  Widget* control(const QString& name) {
    for (Widget* widget : window_->findChildren<Widget*>()) {
      if (widget->accessibleName() == name) return widget;
    }
    ADD_FAILURE() << "no control named " << name.toStdString();
    return nullptr;
  }
  QString text(const QString& name) {
    const QLabel* label = control<QLabel>(name);
    return label != nullptr ? label->text() : QString();
  }
  bool shows(const QString& name, const QString& words, std::chrono::milliseconds limit = 5s) {
    return QTest::qWaitFor([&] { return text(name).contains(words); }, int(limit.count()));
  }
  bool relay(const std::string& board, int n) {
    const std::lock_guard lock(hid_->guard);
    return ((hid_->boards[board].state >> n) & 1U) != 0;
  }
  bool everSwitched(const std::string& board, int n) {
    const std::lock_guard lock(hid_->guard);
    const auto& changes = hid_->boards[board].changes;
    return std::any_of(changes.begin(), changes.end(), [n](const sim::HidRelayChange& change) {
      return change.relay == n && change.on;
    });
  }
  void open() {
    service::Request request;
    request.action = service::Action::Open;
    std::optional<service::Result> result;
    service_.submit(request, [&result](const service::Result& r) { result = r; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }));
    ASSERT_TRUE(result->ok) << result->message.toStdString();
    ASSERT_TRUE(QTest::qWaitFor([this] { return control<QPushButton>("Fire all")->isEnabled(); }));
  }

  std::shared_ptr<sim::HidRelayBus> hid_ = std::make_shared<sim::HidRelayBus>();
  service::RigService service_{
      [] { return std::make_unique<serial::CommControl>(serial::PortMap{}); }};
  std::unique_ptr<RigWindow> window_;
};

TEST_F(RigWindowTest, EachBoardShowsItsOwnLinkAndALostOneIsNotShownOpen) {
  // Before the first opening the window names the board the file gives, not yet its device.
  EXPECT_EQ(text("Board a"), QStringLiteral("a: closed, hid:RIGA"));
  open();
  EXPECT_TRUE(shows("Board a", "a: open")) << text("Board a").toStdString();
  EXPECT_TRUE(shows("Board b", "b: open"));
  EXPECT_EQ(text("Camera left lines"), QStringLiteral("closed"));
  EXPECT_EQ(text("Flash main"), QStringLiteral("main: off"));

  {
    const std::lock_guard lock(hid_->guard);
    hid_->boards["/dev/hidraw-b"].gone = true;
  }
  EXPECT_TRUE(shows("Board b", "b: lost", 10s)) << text("Board b").toStdString();
  EXPECT_FALSE(text("Board a").contains(QStringLiteral("lost"))) << "only board b went";
}

TEST_F(RigWindowTest, ACameraButtonFiresThatCameraAloneAndTheLastShotNamesIt) {
  open();
  control<QPushButton>("Fire right")->click();
  EXPECT_TRUE(shows("Last shot", "right fired")) << text("Last shot").toStdString();
  EXPECT_TRUE(everSwitched("/dev/hidraw-b", 0));
  EXPECT_FALSE(everSwitched("/dev/hidraw-a", 1)) << "left's shutter was switched";
  EXPECT_FALSE(everSwitched("/dev/hidraw-a", 0)) << "left's focus was switched";
}

TEST_F(RigWindowTest, AFlashsToggleSwitchesThatFlashAloneAndItsRowFollows) {
  open();
  control<QPushButton>("Toggle flash side")->click();
  EXPECT_TRUE(shows("Flash side", "side: on")) << text("Flash side").toStdString();
  EXPECT_TRUE(relay("/dev/hidraw-b", 1));
  EXPECT_FALSE(everSwitched("/dev/hidraw-a", 2)) << "main was switched";
  EXPECT_EQ(text("Flash main"), QStringLiteral("main: off"));
}

// A bulb fired with Space from the keyboard and stopped with Escape: the shutters are shown
// open while it runs, STOP is on only then, and nothing is left shown open after the stop.
TEST_F(RigWindowTest, SpaceFiresABulbThatEscapeStopsAndNoCameraIsLeftShownOpen) {
  open();
  auto* exposure = control<QDoubleSpinBox>("Exposure");
  ASSERT_NE(exposure, nullptr);
  exposure->setValue(60);
  EXPECT_FALSE(control<QPushButton>("Stop")->isEnabled());

  QTest::keyClick(control<QPushButton>("Fire left"), Qt::Key_Space);
  ASSERT_TRUE(shows("Camera right lines", "shutter open"));
  EXPECT_TRUE(shows("Camera left lines", "shutter open"));
  EXPECT_TRUE(shows("Shot in progress", "Exposure: ")) << text("Shot in progress").toStdString();
  EXPECT_TRUE(control<QPushButton>("Stop")->isEnabled());
  EXPECT_FALSE(control<QPushButton>("Fire all")->isEnabled()) << "nothing else fires meanwhile";

  QTest::keyClick(window_.get(), Qt::Key_Escape);
  EXPECT_TRUE(shows("Camera left lines", "closed", 3s)) << text("Camera left lines").toStdString();
  EXPECT_TRUE(shows("Camera right lines", "closed", 3s));
  EXPECT_FALSE(relay("/dev/hidraw-a", 1));
  EXPECT_FALSE(relay("/dev/hidraw-b", 0));
  EXPECT_TRUE(QTest::qWaitFor([this] { return !control<QPushButton>("Stop")->isEnabled(); }));
  EXPECT_TRUE(shows("Last shot", "every camera: stopped")) << text("Last shot").toStdString();
}

// An armed shot from another channel: its countdown and DISARM show, and the disarm is shown.
TEST_F(RigWindowTest, AnArmedShotFromAnyChannelCountsDownUntilDisarmed) {
  open();
  service::Request armed;
  armed.action = service::Action::Shutter;
  armed.origin = service::Origin::Socket;
  armed.shot = service::ShotTime{std::chrono::system_clock::now() + 30s, true};
  service_.submit(armed, nullptr);
  EXPECT_TRUE(shows("Shot in progress", "Armed: fires in 3"))
      << text("Shot in progress").toStdString();
  EXPECT_TRUE(control<QPushButton>("Disarm")->isEnabled());
  EXPECT_FALSE(control<QPushButton>("Fire all")->isEnabled());

  control<QPushButton>("Disarm")->click();
  EXPECT_TRUE(shows("Last shot", "disarmed")) << text("Last shot").toStdString();
  EXPECT_TRUE(QTest::qWaitFor([this] { return !control<QPushButton>("Disarm")->isEnabled(); }));
  EXPECT_TRUE(shows("Shot in progress", "Ready"));
}

}  // namespace
