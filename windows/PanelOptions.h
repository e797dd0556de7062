#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The panel's own options (--ports, --name, --journal, --board, --rig-file, --list-ports, --help,
// --help-all, --version), read with args::Reader. The panel reads its command line twice: before
// QApplication exists, where the toolkit's options (-platform offscreen, -style fusion, ...) are
// known too so that neither they nor their values pass for mistakes, and after it, from what the
// toolkit left. The mistakes are worded as they always were ("Unknown option 'x'.").
namespace windows {

enum class OptionsStage {
  BeforeToolkit,  // "-name" is "--name"; the toolkit's options are known
  AfterToolkit    // a word after one dash is letters, each an option of its own ("-h", "-v")
};

struct PanelOptions {
  // The values as given (the last one when an option is given twice).
  std::optional<QString> ports;
  std::optional<QString> name;
  std::optional<QString> journal;
  std::optional<QString> board;
  std::optional<QString> rigFile;
  std::optional<QString> platform;  // -platform, before the toolkit only
  bool display = false;             // -display, before the toolkit only
  bool listPorts = false;
  bool help = false;
  bool helpAll = false;
  bool version = false;
  // The first argument that is no option, nor an option's value ("--" ends the options).
  std::optional<QString> stray;
  // The mistake, in words ("Missing value after '--ports'."); empty when there is none. Options
  // found before and after a mistake are still set, so --help answers whatever else is wrong.
  QString error;
};

// Reads the arguments after the program's name.
PanelOptions readPanelOptions(const QStringList& arguments, OptionsStage stage);

// The panel's --help text (the options, then the port numbering), without the broker's and the
// phone remote's options.
QString panelHelp();

// --help as the toolkit's parser prints it once QApplication exists (the usage with the program
// as started), with the toolkit's own options too for --help-all, which only the toolkit knows;
// then exits.
[[noreturn]] void showHelp(const QString& program, bool toolkitToo);

}  // namespace windows
