// Writes the panel's icon, as the main window draws it, at every size the package installs:
// quillmar-16.png, quillmar-32.png, ... in the directory given. Larger sizes are the 16 px icon
// scaled up pixel for pixel (nearest neighbour), so the black-and-white squares stay sharp.
//
// Build and run with: cmake --build BUILD --target update-icons

#include <QImage>
#include <QString>
#include <cstdio>

#include "windows/Form1.h"

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: make-icons DIRECTORY\n");
    return 2;
  }
  const QString directory = QString::fromLocal8Bit(argv[1]);
  const QImage icon = Form1::iconImage();
  for (const int size : {QUILLMAR_ICON_SIZES}) {
    const QImage scaled = icon.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                              .convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
    const QString path = QStringLiteral("%1/quillmar-%2.png").arg(directory).arg(size);
    if (!scaled.save(path, "PNG")) {
      std::fprintf(stderr, "make-icons: cannot write %s\n", path.toLocal8Bit().constData());
      return 1;
    }
  }
  return 0;
}
