#pragma once

#include <QRect>
#include <QSize>

// The windows are laid out in twips (1/1440 inch); 15 twips are one pixel at 96 dots per inch.
inline constexpr int kTwipsPerPixel = 15;

inline QSize twipsSize(int width, int height) {
  return {width / kTwipsPerPixel, height / kTwipsPerPixel};
}

inline QRect twipsRect(int left, int top, int width, int height) {
  return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
          height / kTwipsPerPixel};
}
