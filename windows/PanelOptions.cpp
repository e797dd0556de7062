#include "PanelOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <array>
#include <cstdlib>
#include <string>
#include <string_view>

#include "args/Qt.h"

namespace windows {

namespace {

const char* const kDescription =
    "Control panel for a two-relay camera rig (relay 0: main flash, relay 1: camera shutter)\n"
    "driven by a serial relay module.\n"
    "\n"
    "Port numbers: the port selector works with numbers 1, 2, 3, ...\n"
    "  On Windows, port n is COMn (COM1, COM2, ..., COM10, ...).\n"
    "  Elsewhere, with --ports DEV1,DEV2,... port n is the n-th device listed; an empty entry\n"
    "  leaves that number without a device (\"--ports ,/dev/ttyUSB0\": port 1 has none,\n"
    "  port 2 is /dev/ttyUSB0).\n"
    "  Without --ports, port n is the n-th serial device the system lists: USB devices\n"
    "  (ttyACM*, ttyUSB*) first, then the others, each group in name order.\n"
    "  --list-ports shows the numbers as they are now.\n"
    "\n"
    "Nothing is sent on any port until \"Open Com Port\" is clicked.\n"
    "\n"
    "Remote control: the panel listens on a local socket of the user's own, named\n"
    "\"quillmar\" (or --name NAME), for JSON requests, one a line; quillmar-cli goes\n"
    "through it while the panel runs.\n"
    "\n"
    "Serial traffic log: QT_LOGGING_RULES=\"quillmar.serial.debug=true\" quillmar\n"
    "writes every command sent and every reply received to standard error.";

struct Option {
  const char* name;
  const char* valueName;  // null for a flag
  const char* description;
};

// The panel's own options, in the order --help lists them (after --help, --help-all and
// --version).
constexpr std::array kOptions = {
    Option{"ports", "DEV1,DEV2,...",
           "Maps port numbers to devices: port n is the n-th DEV (see above)."},
    Option{"name", "NAME",
           "Names the panel's local socket, for a second panel on the same machine (default: "
           "quillmar; quillmar-cli --name NAME reaches it)."},
    Option{"journal", "FILE",
           "Appends one JSON line to FILE for every request that reaches the rig (see the "
           "scripting guide)."},
    Option{"board", "NAME",
           "\"Open Com Port\" opens the relay board NAME (text:PATH, text-id:ID, ch340:PATH, "
           "modbus:PATH@ADDRESS, hid:ID) instead of the port chosen; after an unplug it is found "
           "again by that name."},
    Option{"rig-file", "FILE",
           "The rig the rig file FILE describes: \"Open Com Port\" opens its boards by their "
           "names, the buttons act on its cameras and flashes, and a rig window shows each "
           "camera, flash and board."},
    Option{"list-ports", nullptr,
           "Prints which device each port number stands for now (with the USB description and "
           "serial number) and exits."},
};

// Options QApplication takes for itself, with a value and without, known before it exists.
const char* const kToolkitOptionsWithValue =
    "platform platformpluginpath platformtheme plugin qwindowgeometry qwindowicon qwindowtitle "
    "session style stylesheet display geometry title visual ncols dialogs fontengine "
    "qmljsdebugger";
const char* const kToolkitFlags = "reverse widgetcount sync nograb dograb cmap testability";

#ifdef Q_OS_WIN
const char* const kHelpNames = "? h help";
#else
const char* const kHelpNames = "h help";
#endif

bool among(std::string_view words, std::string_view name) {
  while (!words.empty()) {
    const std::size_t blank = words.find(' ');
    if (words.substr(0, blank) == name) return true;
    words = blank == std::string_view::npos ? std::string_view() : words.substr(blank + 1);
  }
  return false;
}

// What one reading found, before its mistakes are put in words.
struct Reading {
  explicit Reading(OptionsStage stage) : stage(stage) {}

  PanelOptions options;
  OptionsStage stage;
  std::optional<QString> toolkitValue;  // the values of the toolkit's options other than these
  std::optional<QString> display;
  bool toolkitFlag = false;
  QString error;  // the last mistake of an option's value; it wins over unknown options
  QStringList unknown;

  // Where the value of the option `name` goes; null when it takes none or is unknown.
  std::optional<QString>* valueOf(std::string_view name) {
    if (name == "ports") return &options.ports;
    if (name == "name") return &options.name;
    if (name == "journal") return &options.journal;
    if (name == "board") return &options.board;
    if (name == "rig-file") return &options.rigFile;
    if (stage != OptionsStage::BeforeToolkit) return nullptr;
    if (name == "platform") return &options.platform;
    if (name == "display") return &display;
    return among(kToolkitOptionsWithValue, name) ? &toolkitValue : nullptr;
  }

  // The flag `name` sets; null when it is no flag or is unknown.
  bool* flagOf(std::string_view name) {
    if (among(kHelpNames, name)) return &options.help;
    if (name == "help-all") return &options.helpAll;
    if (name == "v" || name == "version") return &options.version;
    if (name == "list-ports") return &options.listPorts;
    if (stage == OptionsStage::BeforeToolkit && among(kToolkitFlags, name)) return &toolkitFlag;
    return nullptr;
  }

  // "-abc" once the toolkit has taken its own options: each letter an option of its own, as
  // the toolkit's parser reads the words after one dash; only -h and -v are the panel's.
  void readLetters(const QString& word) {
    bool known = false;
    for (qsizetype at = 1; at < word.size(); ++at) {
      const QString letter = word.mid(at, 1);
      bool* const flag = flagOf(letter.toStdString());
      known = flag != nullptr;
      if (!known) {
        unknown << letter;
        continue;
      }
      *flag = true;
      if (at + 1 < word.size() && word.at(at + 1) == QLatin1Char('=')) break;
    }
    if (known && word.contains(QLatin1Char('='))) {
      error = QStringLiteral("Unexpected value after '%1'.")
                  .arg(word.left(word.indexOf(QLatin1Char('='))));
    }
  }
};

QCommandLineParser& describe(QCommandLineParser& parser) {
  parser.setApplicationDescription(QString::fromLatin1(kDescription));
  parser.addHelpOption();
  parser.addVersionOption();
  for (const Option& option : kOptions) {
    parser.addOption(QCommandLineOption(
        QString::fromLatin1(option.name), QString::fromLatin1(option.description),
        option.valueName ? QString::fromLatin1(option.valueName) : QString()));
  }
  return parser;
}

}  // namespace

PanelOptions readPanelOptions(const QStringList& arguments, OptionsStage stage) {
  Reading reading(stage);
  const bool before = stage == OptionsStage::BeforeToolkit;
  args::Reader reader(args::fromQt(arguments),
                      before ? args::Reader::Dashes::OneOrTwo : args::Reader::Dashes::Two);
  bool optionsEnded = false;
  while (reader.next()) {
    const std::string given = reader.given();
    if (optionsEnded || given.size() < 2 || given[0] != '-') {
      if (!reading.options.stray) reading.options.stray = QString::fromStdString(given);
      continue;
    }
    if (given == "--") {
      optionsEnded = true;
      continue;
    }
    const bool twoDashes = given[1] == '-';
    if (!twoDashes && !before) {
      reading.readLetters(QString::fromStdString(given));
      continue;
    }
    const std::string name = reader.name().substr(twoDashes ? 2 : 1);
    if (std::optional<QString>* const field = reading.valueOf(name)) {
      if (const std::optional<std::string> value = reader.value()) {
        *field = QString::fromStdString(*value);
      } else {
        reading.error =
            QStringLiteral("Missing value after '%1'.").arg(QString::fromStdString(given));
      }
    } else if (bool* const flag = reading.flagOf(name)) {
      // Set even with a value attached: --help=1 still asks for the help.
      *flag = true;
      if (!reader.flag()) {
        reading.error = QStringLiteral("Unexpected value after '%1'.")
                            .arg(QString::fromStdString(reader.name()));
      }
    } else {
      reading.unknown << QString::fromStdString(name);
    }
  }
  PanelOptions& options = reading.options;
  options.display = reading.display.has_value();
  if (!reading.error.isEmpty()) {
    options.error = reading.error;
  } else if (reading.unknown.size() == 1) {
    options.error = QStringLiteral("Unknown option '%1'.").arg(reading.unknown.first());
  } else if (reading.unknown.size() > 1) {
    options.error =
        QStringLiteral("Unknown options: %1.").arg(reading.unknown.join(QStringLiteral(", ")));
  }
  return options;
}

QString panelHelp() {
  QCommandLineParser parser;
  // Without an application object the parser cannot know the program's name.
  return describe(parser).helpText().replace(QStringLiteral("<executable_name>"),
                                             QStringLiteral("quillmar"));
}

void showHelp(const QString& program, bool toolkitToo) {
  QCommandLineParser parser;
  describe(parser).process(
      QStringList{program, toolkitToo ? QStringLiteral("--help-all") : QStringLiteral("--help")});
  std::exit(EXIT_SUCCESS);  // process() has exited already
}

}  // namespace windows
