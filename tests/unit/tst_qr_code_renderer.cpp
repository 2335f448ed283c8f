#include "Services/QRCodeRenderer.h"

#include <QTest>

#include <cmath>
#include <limits>

namespace {

const QString lanLink = QStringLiteral(
    "ferrowyn://connect?mode=sshTunnel&endpoint=ws://192.168.1.20:8765/ws&token=q3Vb8kX_2mZ-pL0aRt7yNw4c"
    "E1sD9fGhJkLmNoPqRsT&hostId=host_Ab3dE5fG7hJ9kL1mN3pQ5r&pairingNonce=Zx9-Yw8_Vu7Ts6Rq5Po4Nm3Lk2"
    "Ji1Hg0Fe9Dc8Ba7z6y&expiresAt=2026-12-05T06:10:00Z");

bool isDark(const QImage &image, int x, int y)
{
    return image.pixel(x, y) == qRgb(0, 0, 0);
}

} // namespace

class QRCodeRendererTest : public QObject {
    Q_OBJECT

private slots:
    void imageHasExactlyTheRequestedSize_data();
    void imageHasExactlyTheRequestedSize();
    void modulesAreSharpAndSurroundedByTheQuietZone();
    void largestTextThatFits();
    void noImage_data();
    void noImage();
};

void QRCodeRendererTest::imageHasExactlyTheRequestedSize_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qreal>("size");
    QTest::addColumn<int>("edge");
    // Below the module count, one pixel, a fraction rounded either way.
    for (const auto &[size, edge] :
         {std::pair{220.0, 220}, {219.4, 219}, {219.6, 220}, {40.0, 40}, {1.0, 1}, {1000.0, 1000}})
        QTest::addRow("%g", size) << lanLink << size << edge;
    for (const QString &text : {QString(), QStringLiteral("\u00fc\U0001F511"), QStringLiteral("a\0b")})
        QTest::addRow("text %s", qPrintable(text)) << text << qreal(220) << 220;
}

void QRCodeRendererTest::imageHasExactlyTheRequestedSize()
{
    QFETCH(QString, text);
    QFETCH(qreal, size);
    QFETCH(int, edge);
    const std::optional<QImage> image = QRCodeRenderer::image(text, size);
    QVERIFY(image);
    QCOMPARE(image->size(), QSize(edge, edge));
}

void QRCodeRendererTest::modulesAreSharpAndSurroundedByTheQuietZone()
{
    const std::optional<QImage> image = QRCodeRenderer::image(lanLink, 333);
    QVERIFY(image);
    for (int y = 0; y < image->height(); ++y) {
        for (int x = 0; x < image->width(); ++x) {
            const QRgb pixel = image->pixel(x, y);
            if (pixel != qRgb(0, 0, 0) && pixel != qRgb(255, 255, 255))
                QFAIL(qPrintable(QStringLiteral("blended pixel at %1,%2").arg(x).arg(y)));
        }
    }
    // The top-left finder pattern: on the diagonal, light quiet zone, then a dark ring 1 module wide; along
    // its top edge 7 dark modules in a row.
    int corner = 0;
    while (corner < image->width() && !isDark(*image, corner, corner))
        ++corner;
    int run = 0;
    while (corner + run < image->width() && isDark(*image, corner + run, corner))
        ++run;
    const double module = run / 7.0;
    QVERIFY2(module >= 2, qPrintable(QString::number(module)));
    QVERIFY2(corner >= 3.5 * module, qPrintable(QStringLiteral("quiet zone of %1 px").arg(corner)));
    // Dark code on a light ground: the outermost rows and columns are light all along.
    for (int i = 0; i < image->width(); ++i) {
        QVERIFY(!isDark(*image, i, 0) && !isDark(*image, 0, i));
        QVERIFY(!isDark(*image, i, image->height() - 1) && !isDark(*image, image->width() - 1, i));
    }
}

void QRCodeRendererTest::largestTextThatFits()
{
    // Version 40 at level M holds 2331 bytes; a code at a higher level would hold fewer.
    QVERIFY(QRCodeRenderer::image(QString(2331, QLatin1Char('a')), 220));
    QCOMPARE(QRCodeRenderer::image(QString(2332, QLatin1Char('a')), 220), std::nullopt);
    // Bytes count, not characters: "\u00fc" takes two.
    QVERIFY(QRCodeRenderer::image(QString(1165, QChar(0xfc)), 220));
    QCOMPARE(QRCodeRenderer::image(QString(1166, QChar(0xfc)), 220), std::nullopt);
}

void QRCodeRendererTest::noImage_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qreal>("size");
    QTest::newRow("lone surrogate") << QString(QChar(0xd800)) + QStringLiteral("x") << qreal(220);
    for (const qreal size : {0.0, 0.4, -220.0, std::numeric_limits<qreal>::quiet_NaN(),
                             std::numeric_limits<qreal>::infinity(), QRCodeRenderer::largestSize + 1})
        QTest::addRow("%g", size) << lanLink << size;
}

void QRCodeRendererTest::noImage()
{
    QFETCH(QString, text);
    QFETCH(qreal, size);
    QCOMPARE(QRCodeRenderer::image(text, size), std::nullopt);
}

QTEST_GUILESS_MAIN(QRCodeRendererTest)
#include "tst_qr_code_renderer.moc"
