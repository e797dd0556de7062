#include <QTest>
#include <random>

#include "RigOnPtys.h"
#include "rig/Protocol.h"

using namespace reliability;

namespace {

// Random texts of the kinds an operator (or a cat on the keyboard) could put in the selector.
class TextMaker {
 public:
  explicit TextMaker(std::uint64_t seed) : random_(seed) {}

  QString next() {
    switch (pick(9)) {
      case 0:
        return {};
      case 1:
        return ascii(1000 + pick(20000), 32, 126);  // very long
      case 2:
        return ascii(1 + pick(40), 0, 31);  // control characters only
      case 3:
        return mixed(1 + pick(60));
      case 4:
        return outOfRange();
      case 5:
        return nonAscii(1 + pick(40));
      case 6:
        return nearlyANumber();
      case 7:
        return ascii(1 + pick(12), 32, 126);
      default:
        return variantOfAutomatic();
    }
  }

  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }

 private:
  QString ascii(std::size_t length, int low, int high) {
    QString text;
    std::uniform_int_distribution<int> code(low, high);
    for (std::size_t i = 0; i < length; ++i) text += QChar(code(random_));
    return text;
  }

  QString mixed(std::size_t length) {
    static const QString pieces[] = {
        "1",   "0",  "-",  "+",    ".", "e", "E",        " ",
        "\t",  "\n", "\r", "\x7f", "5", "9", "\xc3\xa9", "\xe2\x80\xae",
        "AUTO"};
    QString text;
    for (std::size_t i = 0; i < length; ++i) text += pieces[pick(std::size(pieces))];
    return text;
  }

  QString outOfRange() {
    static const QString fixed[] = {
        "32768", "-32769",    "32767.5", "-32768.6", "1e5",  "99999999999999999999999",
        "1e308", "1e309",     "-1e400",  "65537",    "0x10", "inf",
        "nan",   "4294967297"};
    if (pick(2) == 0) return fixed[pick(std::size(fixed))];
    std::uniform_int_distribution<long long> big(32768, 1LL << 50);
    return QString::number(pick(2) == 0 ? big(random_) : -big(random_));
  }

  QString nonAscii(std::size_t length) {
    QString text;
    for (std::size_t i = 0; i < length; ++i) {
      // Any UTF-16 unit, lone surrogates included: what a broken input method might send.
      text +=
          QChar(static_cast<char16_t>(std::uniform_int_distribution<int>(0x80, 0xffff)(random_)));
    }
    return text;
  }

  // Texts that convert, or almost do: most name ports without a device, a few name port 1.
  QString nearlyANumber() {
    static const QString fixed[] = {" 1 ",  "1.4", "+1", "0.5", "1.5", "2.5",      "-0", "1e0",
                                    ".9e0", "1.",  "01", "1 1", "1,0", "\xd9\xa1", "１"};
    if (pick(10) == 0) return fixed[pick(std::size(fixed))];
    return QString::number(static_cast<int>(pick(70000)) - 35000);
  }

  QString variantOfAutomatic() {
    static const QString fixed[] = {"automatic", "AUTOMATIC ",  " AUTOMATIC",
                                    "AUTOMATI",  "AUTOMATIC\n", "AUTOMATIC\t"};
    return fixed[pick(std::size(fixed))];
  }

  std::mt19937_64 random_;
};

// Shown whole when short; long texts by length and start.
std::string describe(const QString& text) {
  QString shown = text.left(60);
  QString escaped;
  for (const QChar c : shown) {
    escaped += c.unicode() < 32 || c.unicode() == 127
                   ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
                   : QString(c);
  }
  return "\"" + escaped.toStdString() + (text.size() > 60 ? "...\"" : "\"") + " (" +
         std::to_string(text.size()) + " units)";
}

class BadInput : public RigOnPtys {};

TEST_F(BadInput, RandomTextsInThePortSelectorOnlyOpenPortOneOrGivePortNotFound) {
  const auto seed = static_cast<std::uint64_t>(
      fromEnvironment("QUILLMAR_SEED", static_cast<long>(std::random_device()() & 0x7fffffff)));
  const long cases = fromEnvironment("QUILLMAR_BAD_INPUT_CASES", 3000);
  SCOPED_TRACE("seed " + std::to_string(seed) +
               " (rerun with QUILLMAR_SEED=" + std::to_string(seed) + ")");

  // Port 1 is the module; every other number has no device.
  sim::RelayModule module;
  plug(1, module);
  useDevices(QStringList{link(1)});
  Form1& window = form1();
  TextMaker maker(seed);
  int openings = 0;

  for (long i = 0; i < cases; ++i) {
    const QString typed = maker.next();
    const bool printable = std::all_of(
        typed.begin(), typed.end(), [](QChar c) { return c.unicode() >= 32 && c.unicode() < 127; });
    if (printable && typed.size() < 30 && maker.pick(10) == 0) {
      // Now and then through real key presses (the test tool types printable ASCII only).
      window.combo1()->setEditText(QString());
      QTest::keyClicks(window.combo1()->lineEdit(), typed);
    } else {
      window.combo1()->setEditText(typed);
    }
    const QString seen = window.combo1()->currentText();
    window.text3()->setText(QStringLiteral("unchanged"));

    const Millis took = click(window.command1());

    const auto number = rig::protocol::toInteger16(seen.toStdString());
    const bool automatic = seen == QLatin1String("AUTOMATIC");
    const bool opens = automatic || (number && *number == 1);
    const QString expected = automatic ? QStringLiteral("Port found and opened")
                             : opens   ? QStringLiteral("Port Found and Opened")
                                       : QStringLiteral("Port Not Found");
    ASSERT_EQ(status(), expected) << "case " << i << ": " << describe(seen) << "; tooltip "
                                  << statusTip().left(200).toStdString();
    ASSERT_EQ(portOpen(), opens) << "case " << i << ": " << describe(seen);
    ASSERT_LT(took, opens ? 5s : 1s) << "case " << i << ": " << describe(seen);
    ASSERT_TRUE(failures.empty()) << "case " << i << ": " << failures.front().text.toStdString();
    if (!opens) {
      ASSERT_FALSE(statusTip().isEmpty()) << "case " << i << ": no reason for " << describe(seen);
    } else {
      ++openings;
      // So the next opening can happen too.
      window.service().withSerial([](rig::SerialControl& serial) { serial.setPortOpen(false); });
    }
  }
  RecordProperty("openings", openings);
  // Nothing but the resets of real openings reached the module.
  for (const auto& command : texts(module.log())) {
    EXPECT_TRUE(command == "relay off 0" || command == "relay off 1" || command == "id get")
        << command;
  }
}

}  // namespace
