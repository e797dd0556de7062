#include "TextPortBoard.h"

#include <QStringList>

namespace boards {

TextPortBoard::TextPortBoard(const std::string& device, rig::BoardName name)
    : serial_(std::make_unique<serial::CommControl>(
          serial::PortMap(QStringList{QString::fromStdString(device)}))),
      text_(*serial_, clock_, std::move(name)) {}

void TextPortBoard::open() {
  serial_->setPortNumber(1);
  text_.open();
}

}  // namespace boards
