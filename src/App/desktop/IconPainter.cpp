// Draws the application icon from one list of shapes, as the scalable SVG and as a PNG of a given size, so
// the two cannot drift apart. Usage: IconPainter <svg file> <png file> <png size>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QTextStream>

#include <array>
#include <cstdlib>

namespace {

constexpr int canvasSize = 256;

// A rounded rectangle; one whose corner radius is half its side is a circle.
struct Shape {
    QRectF rect;
    qreal cornerRadius;
    QColor color;
};

// A tablet showing lines of code, on a teal tile.
const std::array shapes{
    Shape{{16, 16, 224, 224}, 48, QColor(0x1f, 0x6f, 0x78)},
    Shape{{58, 44, 140, 168}, 18, QColor(0xf4, 0xf1, 0xe8)},
    Shape{{72, 58, 112, 124}, 6, QColor(0x24, 0x31, 0x38)},
    Shape{{84, 74, 56, 10}, 5, QColor(0x7f, 0xd3, 0xc0)},
    Shape{{96, 94, 72, 10}, 5, QColor(0xf2, 0xb8, 0x5a)},
    Shape{{96, 114, 48, 10}, 5, QColor(0x7f, 0xd3, 0xc0)},
    Shape{{84, 134, 64, 10}, 5, QColor(0xf2, 0xb8, 0x5a)},
    Shape{{84, 154, 40, 10}, 5, QColor(0x7f, 0xd3, 0xc0)},
    Shape{{121, 189, 14, 14}, 7, QColor(0x24, 0x31, 0x38)},
};

bool writeSvg(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QTextStream svg(&file);
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << canvasSize << "\" height=\"" << canvasSize
        << "\" viewBox=\"0 0 " << canvasSize << ' ' << canvasSize << "\">\n";
    for (const Shape &shape : shapes) {
        svg << "  <rect x=\"" << shape.rect.x() << "\" y=\"" << shape.rect.y() << "\" width=\""
            << shape.rect.width() << "\" height=\"" << shape.rect.height() << "\" rx=\"" << shape.cornerRadius
            << "\" fill=\"" << shape.color.name() << "\"/>\n";
    }
    svg << "</svg>\n";
    svg.flush();
    return file.error() == QFileDevice::NoError;
}

bool writePng(const QString &path, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.scale(qreal(size) / canvasSize, qreal(size) / canvasSize);
    for (const Shape &shape : shapes) {
        painter.setBrush(shape.color);
        painter.drawRoundedRect(shape.rect, shape.cornerRadius, shape.cornerRadius);
    }
    painter.end();
    return image.save(path, "PNG");
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4)
        return EXIT_FAILURE;
    const int size = QByteArray(argv[3]).toInt();
    if (size <= 0 || !writeSvg(QString::fromLocal8Bit(argv[1])) ||
        !writePng(QString::fromLocal8Bit(argv[2]), size))
        return EXIT_FAILURE;
    return EXIT_SUCCESS;
}
