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
}

bool TextPortBoard::gone() {
  if (!isOpen()) return lost;
  return lost || !QFileInfo::exists(QString::fromStdString(device));
}

}  // namespace boards
