#include "Services/Links/QRCodeRenderer.h"

#include <qrcodegen.hpp>

#include <QByteArray>
#include <QColor>

#include <cmath>
#include <cstdint>
#include <exception>
#include <vector>

namespace {

std::optional<qrcodegen::QrCode> encoded(const QByteArray &bytes)
{
    const std::vector<std::uint8_t> data(bytes.cbegin(), bytes.cend());
    try {
        // Level M exactly: the generator would otherwise raise it whenever that fits in the same version.
        return qrcodegen::QrCode::encodeSegments(
            {qrcodegen::QrSegment::makeBytes(data)}, qrcodegen::QrCode::Ecc::MEDIUM,
            qrcodegen::QrCode::MIN_VERSION, qrcodegen::QrCode::MAX_VERSION, -1, false);
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

const QRgb dark = qRgb(0, 0, 0);
const QRgb light = qRgb(255, 255, 255);

} // namespace

std::optional<QImage> QRCodeRenderer::moduleImage(const QString &text)
{
    if (!text.isValidUtf16())
        return std::nullopt;
    const std::optional<qrcodegen::QrCode> code = encoded(text.toUtf8());
    if (!code)
        return std::nullopt;
    const int modules = code->getSize();
    const int units = modules + 2 * quietZoneModules;
    QImage result(units, units, QImage::Format_RGB32);
    if (result.isNull())
        return std::nullopt;
    result.fill(light);
    for (int row = 0; row < modules; ++row) {
        for (int column = 0; column < modules; ++column) {
            if (code->getModule(column, row))
                result.setPixel(column + quietZoneModules, row + quietZoneModules, dark);
        }
    }
    return result;
}

std::optional<QImage> QRCodeRenderer::scaled(const QImage &modules, qreal size)
{
    if (!std::isfinite(size) || size > largestSize || modules.isNull())
        return std::nullopt;
    const int edge = static_cast<int>(std::lround(size));
    if (edge < 1)
        return std::nullopt;
    QImage result(edge, edge, QImage::Format_RGB32);
    if (result.isNull())
        return std::nullopt;

    // Pixel i shows the module its left (or top) edge falls into. Modules then keep sharp edges even when
    // the size is no multiple of the module count; they differ by at most one pixel in width.
    const int units = modules.width();
    std::vector<int> moduleAt(static_cast<std::size_t>(edge));
    for (int i = 0; i < edge; ++i)
        moduleAt[static_cast<std::size_t>(i)] = static_cast<int>(static_cast<qint64>(i) * units / edge);

    for (int y = 0; y < edge; ++y) {
        auto *line = reinterpret_cast<QRgb *>(result.scanLine(y));
        const int row = moduleAt[static_cast<std::size_t>(y)];
        for (int x = 0; x < edge; ++x)
            line[x] = qGray(modules.pixel(moduleAt[static_cast<std::size_t>(x)], row)) < 128 ? dark : light;
    }
    return result;
}

std::optional<QImage> QRCodeRenderer::image(const QString &text, qreal size)
{
    // The size is checked first: a bad one costs no encoding.
    if (!std::isfinite(size) || size > largestSize || std::lround(size) < 1)
        return std::nullopt;
    const std::optional<QImage> modules = moduleImage(text);
    return modules ? scaled(*modules, size) : std::nullopt;
}
