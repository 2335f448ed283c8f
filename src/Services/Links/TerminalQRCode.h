#pragma once

#include <QImage>
#include <QString>

// A QR code drawn in a terminal with Unicode half blocks, two module rows per line of text. On a terminal the
// colours are set explicitly, dark on light, from the 256-colour palette that terminal themes leave alone: a
// code drawn in the theme's own colours comes out inverted in a dark theme, and cameras read inverted codes
// badly. Elsewhere (a file, a pipe, the journal) it is plain half blocks, with no escape sequences.
namespace TerminalQRCode {

enum class Colours { explicitDarkOnLight, none };

// The lines of text for a module image (one pixel per module, as QRCodeRenderer::moduleImage gives),
// each ending in a newline.
QString text(const QImage &modules, Colours colours);

} // namespace TerminalQRCode
