#pragma once

#include <QImage>
#include <QProcess>

// What a tablet's camera reads from the image: the text of its QR code as zbarimg (zbar-tools) decodes it,
// the image saved at `png` for it; empty when it finds no code.
inline QString scannedCode(const QImage &image, const QString &png)
{
    if (!image.save(png))
        return {};
    QProcess zbar;
    zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), png});
    zbar.waitForFinished(30000);
    return QString::fromUtf8(zbar.readAllStandardOutput()).trimmed();
}
