#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>

#include "RigOnPtys.h"
#include "boards/Catalog.h"
#include "serial/CommControl.h"
#include "serial/DeviceSource.h"

using namespace reliability;

namespace {

constexpr int kPort = 3;

std::chrono::nanoseconds processCpuTime() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

bool waitFor(const std::function<bool()>& done, Millis limit = 3s) {
  return QTest::qWaitFor(done, static_cast<int>(limit.count()));
}

class Reconnect : public RigOnPtys {
 protected:
  static bool reconnected() {
    return status() == QStringLiteral("Port Found and Opened") &&
           statusTip().contains(QLatin1String("reconnected")) && !form1().service().state().busy;
  }
  // The module behind the link goes away; the panel shows it.
  void lose(sim::RelayModule& module) {
    QFile::remove(link(kPort));
    module.vanish();
    ASSERT_TRUE(waitFor([] { return status() == QStringLiteral("Port Lost"); }))
        << status().toStdString();
  }
};

// Gone while idle: "Port Lost" at once with port, device and reason; clicks meanwhile fail and
// send nothing; back behind the same link: reopened and reset, with relay 0 left on before.
TEST_F(Reconnect, LostWhileIdleThenReopenedAndResetWhenItComesBack) {
  auto module = std::make_unique<sim::RelayModule>();
  plug(kPort, *module);
  openByNumber(kPort, *module);

  lose(*module);
  EXPECT_TRUE(statusTip().startsWith(QStringLiteral("port %1 (%2): ").arg(kPort).arg(link(kPort))))
      << statusTip().toStdString();
  EXPECT_FALSE(portOpen());
  EXPECT_TRUE(form1().command5()->isEnabled()) << "the buttons stay as they are";
  click(form1().command5());
  expectWarning(QStringLiteral("Main Flash"), kPort);
  EXPECT_EQ(status(), QStringLiteral("Port Lost"));

  auto back = std::make_unique<sim::RelayModule>();
  back->setRelay(0, true);  // only its link was lost
  plug(kPort, *back);
  ASSERT_TRUE(waitFor(reconnected)) << status().toStdString() << " " << statusTip().toStdString();
  EXPECT_EQ(form1().combo1()->currentText(), QString::number(kPort));
  EXPECT_EQ(arrived(*back, 0, 2), (std::vector<std::string>{"relay off 0", "relay off 1"}))
      << "the click made while lost is not sent late";
  EXPECT_FALSE(back->relay(0));

  const std::size_t before = back->log().size();
  click(form1().command5());
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(arrived(*back, before, 2), (std::vector<std::string>{"relay read 0", "relay on 0"}));
}

// The operator's own opening ends the watch: the module coming back afterwards is left alone.
TEST_F(Reconnect, TheOperatorsOpeningEndsTheWatch) {
  auto module = std::make_unique<sim::RelayModule>();
  plug(kPort, *module);
  openByNumber(kPort, *module);
  lose(*module);
  open(QString::number(kPort));
  EXPECT_EQ(status(), QStringLiteral("Port Not Found"));

  auto back = std::make_unique<sim::RelayModule>();
  plug(kPort, *back);
  QTest::qWait(500);
  EXPECT_TRUE(back->log().empty());
  EXPECT_EQ(status(), QStringLiteral("Port Not Found"));
}

// A module that keeps coming and going is never reopened twice at once nor in a spin; once it
// stays, it is reopened.
TEST_F(Reconnect, AFlappingModuleIsReopenedOneAtATimeWithoutSpinning) {
  auto first = std::make_unique<sim::RelayModule>();
  plug(kPort, *first);
  openByNumber(kPort, *first);

  std::vector<std::unique_ptr<sim::RelayModule>> modules;
  const auto cpuBefore = processCpuTime();
  const auto start = std::chrono::steady_clock::now();
  lose(*first);
  for (int flap = 0; flap < 6; ++flap) {
    modules.push_back(std::make_unique<sim::RelayModule>());
    plug(kPort, *modules.back());
    QTest::qWait(150);
    QFile::remove(link(kPort));
    modules.back()->vanish();
    QTest::qWait(50);
  }
  auto settled = std::make_unique<sim::RelayModule>();
  plug(kPort, *settled);
  ASSERT_TRUE(waitFor(reconnected, 12s)) << statusTip().toStdString();
  const auto elapsed = std::chrono::steady_clock::now() - start;

  for (const auto& module : modules) {
    const auto log = texts(module->log());
    EXPECT_LE(log.size(), 2U) << "at most one reset per return";
  }
  EXPECT_EQ(arrived(*settled, 0, 2), (std::vector<std::string>{"relay off 0", "relay off 1"}));
  const auto cpu = processCpuTime() - cpuBefore;
  EXPECT_LT(cpu, elapsed / 10) << "the panel spun while the module flapped";
}

// The system's devices, here a list the test keeps: numbers are read afresh at each opening,
// and a lost module is known by its serial number whatever name it comes back under.
class Listed : public serial::DeviceSource {
 public:
  explicit Listed(QString folder) : folder_(std::move(folder)) {}
  rig::PortList devices() const override {
    const std::lock_guard lock(mutex_);
    return list_;
  }
  QStringList folders() const override { return {folder_}; }
  void set(rig::PortList list) {
    {
      const std::lock_guard lock(mutex_);
      list_ = std::move(list);
    }
    // A device node coming or going is what the system tells.
    const QString marker = folder_ + QStringLiteral("/changed");
    if (!QFile::remove(marker)) {
      QFile created(marker);
      created.open(QIODevice::WriteOnly);
    }
  }

 private:
  QString folder_;
  mutable std::mutex mutex_;
  rig::PortList list_;
};

rig::DeviceInfo usb(const std::string& path, const std::string& serialNumber) {
  rig::DeviceInfo info;
  info.path = path;
  info.vendorId = "0403";
  info.productId = "6001";
  info.serialNumber = serialNumber;
  return info;
}

class SystemDevices : public PanelOnPtys {
 protected:
  void SetUp() override {
    PanelOnPtys::SetUp();
    ASSERT_TRUE(dev.isValid());
    setSerialFactory([source = source] { return std::make_unique<serial::CommControl>(source); });
  }
  // A USB-named link in the private /dev to the module's terminal.
  std::string node(const QString& name, const sim::RelayModule& module) const {
    const QString path = dev.filePath(name);
    QFile::remove(path);
    EXPECT_TRUE(QFile::link(QString::fromStdString(module.devicePath()), path));
    return path.toStdString();
  }
  static void open(const QString& choice) {
    form1().combo1()->setEditText(choice);
    form1().command1()->click();
    settle(form1().service());
  }
  static QString status() { return form1().text3()->text(); }

  QTemporaryDir dev;
  std::shared_ptr<Listed> source = std::make_shared<Listed>(dev.path());
};

TEST_F(SystemDevices, PluggedInAfterStartUpFoundByNumberAndAutomatic) {
  form1();  // started with no serial device at all
  auto module = std::make_unique<sim::RelayModule>();
  source->set({usb(node(QStringLiteral("ttyUSB0"), *module), "A10K1234")});
  open(QStringLiteral("1"));
  EXPECT_EQ(status(), QStringLiteral("Port Found and Opened"));
  open(QStringLiteral("AUTOMATIC"));
  EXPECT_EQ(status(), QStringLiteral("Port found and opened"));
  EXPECT_EQ(form1().combo1()->currentText(), QStringLiteral("1"));
}

TEST_F(SystemDevices, TheLostModuleIsKnownByItsSerialNumberUnderAnyName) {
  auto ours = std::make_unique<sim::RelayModule>();
  source->set({usb(node(QStringLiteral("ttyUSB0"), *ours), "A10K1234")});
  open(QStringLiteral("1"));
  ASSERT_EQ(status(), QStringLiteral("Port Found and Opened"));

  source->set({});
  ours->vanish();
  ASSERT_TRUE(waitFor([this] { return status() == QStringLiteral("Port Lost"); }));

  // Another module with another serial number takes the old name: never taken for ours.
  auto other = std::make_unique<sim::RelayModule>();
  source->set({usb(node(QStringLiteral("ttyUSB0"), *other), "B20K5678")});
  QTest::qWait(300);
  EXPECT_TRUE(other->log().empty());
  EXPECT_EQ(status(), QStringLiteral("Port Lost"));

  // Ours comes back as ttyUSB1, port 2 now.
  auto back = std::make_unique<sim::RelayModule>();
  source->set({usb(node(QStringLiteral("ttyUSB0"), *other), "B20K5678"),
               usb(node(QStringLiteral("ttyUSB1"), *back), "A10K1234")});
  ASSERT_TRUE(waitFor([this] {
    return status() == QStringLiteral("Port Found and Opened") && !form1().service().state().busy;
  })) << status().toStdString()
      << ": " << form1().text3()->toolTip().toStdString();
  EXPECT_EQ(form1().combo1()->currentText(), QStringLiteral("2"));
  EXPECT_TRUE(form1().text3()->toolTip().contains(QLatin1String("ttyUSB1 (reconnected)")));
  EXPECT_EQ(arrived(*back, 0, 2), (std::vector<std::string>{"relay off 0", "relay off 1"}));
  EXPECT_TRUE(other->log().empty());
}

// quillmar --board text-id:ID: "Open Com Port" opens the module answering with that identity,
// whatever the selector shows; unplugged and back, it is reopened and reset as a port's module is.
TEST_F(Reconnect, ABoardNamedByItsIdentityIsOpenedByTheButtonAndReopenedAfterAnUnplug) {
  sim::Options named;
  named.identification = "RIG05";
  sim::RelayModule other;
  auto module = std::make_unique<sim::RelayModule>(named);
  plug(1, other);
  plug(kPort, *module);
  form1().service().useBoard({"text-id", "RIG05"}, [] {
    return std::make_unique<boards::Catalog>(boards::Catalog::Parts{});
  });

  open(QStringLiteral("1"));
  ASSERT_EQ(status(), QStringLiteral("Port Found and Opened")) << statusTip().toStdString();
  EXPECT_EQ(form1().service().state().port, kPort);
  // Each line cleared with a lone carriage return before its module is asked who it is.
  EXPECT_EQ(arrived(*module, 0, 4),
            (std::vector<std::string>{"", "id get", "relay off 0", "relay off 1"}));
  EXPECT_EQ(texts(other.log()), (std::vector<std::string>{"", "id get"}));  // never switched

  lose(*module);
  auto back = std::make_unique<sim::RelayModule>(named);
  plug(kPort, *back);
  ASSERT_TRUE(waitFor(reconnected)) << status().toStdString() << ": " << statusTip().toStdString();
  EXPECT_EQ(arrived(*back, 0, 2), (std::vector<std::string>{"relay off 0", "relay off 1"}));
}

}  // namespace
