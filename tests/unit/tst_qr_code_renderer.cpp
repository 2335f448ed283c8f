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
    void sameTextSamePattern();
    void largestTextThatFits();
    void noImage_data();
    void noImage();
};

void QRCodeRendererTest::imageHasExactlyTheRequestedSize_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qreal>("size");
    QTest::addColumn<int>("edge");
    QTest::newRow("panel size") << lanLink << qreal(220) << 220;
    QTest::newRow("fraction rounds down") << lanLink << qreal(219.4) << 219;
    QTest::newRow("fraction rounds up") << lanLink << qreal(219.6) << 220;
    QTest::newRow("smaller than the module count") << lanLink << qreal(40) << 40;
    QTest::newRow("one pixel") << lanLink << qreal(1) << 1;
    QTest::newRow("large") << lanLink << qreal(1000) << 1000;
    QTest::newRow("empty text") << QString() << qreal(220) << 220;
    QTest::newRow("non-ASCII text") << QStringLiteral("\u00fc\U0001F511") << qreal(220) << 220;
    QTest::newRow("text with a NUL") << QStringLiteral("a\0b") << qreal(220) << 220;
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

void QRCodeRendererTest::sameTextSamePattern()
{
    const std::optional<QImage> first = QRCodeRenderer::image(lanLink, 220);
    const std::optional<QImage> second = QRCodeRenderer::image(lanLink, 220);
    QVERIFY(first && second);
    QCOMPARE(*first, *second);
    QString other = lanLink;
    other.replace(QStringLiteral("06:10:00Z"), QStringLiteral("06:10:01Z"));
    QVERIFY(*QRCodeRenderer::image(other, 220) != *first);
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
    QTest::newRow("zero size") << lanLink << qreal(0);
    QTest::newRow("rounds to zero") << lanLink << qreal(0.4);
    QTest::newRow("negative size") << lanLink << qreal(-220);
    QTest::newRow("not a number") << lanLink << std::numeric_limits<qreal>::quiet_NaN();
    QTest::newRow("infinite") << lanLink << std::numeric_limits<qreal>::infinity();
    QTest::newRow("beyond the largest size") << lanLink << QRCodeRenderer::largestSize + 1;
}

void QRCodeRendererTest::noImage()
{
    QFETCH(QString, text);
    QFETCH(qreal, size);
    QCOMPARE(QRCodeRenderer::image(text, size), std::nullopt);
}

QTEST_GUILESS_MAIN(QRCodeRendererTest)
#include "tst_qr_code_renderer.moc"
