#include "Services/Links/TerminalQRCode.h"

namespace {

// Black on white from the 6x6x6 colour cube, then back to the terminal's own colours.
const QString codeColours = QStringLiteral("\x1b[38;5;16;48;5;231m");
const QString resetColours = QStringLiteral("\x1b[0m");
constexpr QChar upperHalf(0x2580);
constexpr QChar lowerHalf(0x2584);
constexpr QChar fullBlock(0x2588);

bool isDark(const QImage &image, int x, int y)
{
    return y < image.height() && qGray(image.pixel(x, y)) < 128;
}

} // namespace

QString TerminalQRCode::text(const QImage &modules, Colours colours)
{
    const bool coloured = colours == Colours::explicitDarkOnLight;
    QString result;
    for (int y = 0; y < modules.height(); y += 2) {
        if (coloured)
            result += codeColours;
        for (int x = 0; x < modules.width(); ++x) {
            const bool top = isDark(modules, x, y);
            const bool bottom = isDark(modules, x, y + 1);
            result += top && bottom ? fullBlock : top ? upperHalf : bottom ? lowerHalf : QChar(u' ');
        }
        if (coloured)
            result += resetColours;
        result += QLatin1Char('\n');
    }
    return result;
}
