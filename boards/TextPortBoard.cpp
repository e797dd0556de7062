#include "TextPortBoard.h"

#include <QFileInfo>
#include <QStringList>

namespace boards {

detail::OwnLine::OwnLine(const std::string& device)
    : device(device),
      serial(std::make_unique<serial::CommControl>(
          serial::PortMap(QStringList{QString::fromStdString(device)}))) {
  serial->setLossHandler([this](const std::string& /*message*/) { lost = true; });
}

TextPortBoard::TextPortBoard(const std::string& device, rig::BoardName name)
    : detail::OwnLine(device), rig::TextBoard(*serial, clock, std::move(name)) {}

void TextPortBoard::open() {
  lost = false;
  serial->setPortNumber(1);
  rig::TextBoard::open();
  // Its first command must not be read after what another program (or this one, under another
  // kind, or a listing) left on the line, nor its answer be taken from their leftovers.
  clearLine(clock.now());
}

bool TextPortBoard::gone() {
  if (!isOpen()) return lost;
  return lost || !QFileInfo::exists(QString::fromStdString(OwnLine::device));
}

}  // namespace boards
