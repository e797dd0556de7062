#include <gtest/gtest.h>

#include <QImage>
#include <QString>

#include "windows/Form1.h"

namespace {

// The installed PNGs are generated from the window's icon (target update-icons); a change to
// the drawing without regenerating them shows up here, at the size where it differs.
TEST(Icon, InstalledPngsAreTheWindowIconScaledPixelForPixel) {
  const QImage icon = Form1::iconImage();
  ASSERT_EQ(icon.size(), QSize(16, 16));
  for (const int size : {ICON_SIZES}) {
    const QString path = QStringLiteral(ICON_DIR "/quillmar-%1.png").arg(size);
    QImage png(path);
    ASSERT_FALSE(png.isNull()) << path.toStdString();
    ASSERT_EQ(png.size(), QSize(size, size)) << path.toStdString();
    png = png.convertToFormat(QImage::Format_RGB32);
    const int factor = size / 16;
    ASSERT_EQ(factor * 16, size) << "sizes must be multiples of 16 to scale without blur";
    int differing = 0;
    for (int y = 0; y < size; ++y) {
      for (int x = 0; x < size; ++x) {
        if (png.pixel(x, y) != icon.pixel(x / factor, y / factor)) ++differing;
      }
    }
    EXPECT_EQ(differing, 0) << path.toStdString()
                            << " differs from Form1::iconImage(); run the update-icons target";
  }
}

}  // namespace
