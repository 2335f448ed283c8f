#pragma once

#include <QImage>
#include <QString>

#include <optional>

// Draws text as a QR code for the tablet's camera.
namespace QRCodeRenderer {

// Light modules around the code, as the QR standard asks: the panel's own padding is too thin for a
// camera to find the code's edge against whatever lies beyond it.
inline constexpr int quietZoneModules = 4;

// The QR code of the text's UTF-8 bytes at error correction level M, as a square image of exactly
// `size` by `size` pixels (rounded to whole pixels): dark modules on a light background, each module a
// block of whole pixels with no blending at its edges. None for text that is not valid UTF-16, that no QR
// code can hold, or for a size that is not a positive number up to `largestSize`.
std::optional<QImage> image(const QString &text, qreal size);

inline constexpr qreal largestSize = 8192;

// The same code with one pixel per module, quiet zone included: for drawing it with something other than
// pixels, such as a terminal's characters, or at a size chosen later.
std::optional<QImage> moduleImage(const QString &text);
// A module image (as moduleImage gives) drawn as image() draws its text.
std::optional<QImage> scaled(const QImage &modules, qreal size);

} // namespace QRCodeRenderer
