#include "Services/QRCodeRenderer.h"
#include "Services/SetupLinkBuilder.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

// Renders setup links as QR codes and reads them back with a real decoder, zbarimg.

namespace {

const QString token = QStringLiteral("q3Vb8kX_2mZ-pL0aRt7yNw4cE1sD9fGhJkLmNoPqRsT");
const QString relayToken = QStringLiteral("Rt0-kP9_mQ8nW7bV6cX5zL4aS3dF2gH1jK0lZ9xC8vB");
const QString hostId = QStringLiteral("host_Ab3dE5fG7hJ9kL1mN3pQ5r");
const QString nonce = QStringLiteral("Zx9-Yw8_Vu7Ts6Rq5Po4Nm3Lk2Ji1Hg0Fe9Dc8Ba7z6y");
const QString session = QStringLiteral("6f1c2a9e-3b7d-4c1e-9a2f-0d8e5b4c3a21");

// A self-hosted relay behind a long host name, a port, a deep path and a query the endpoint drops.
const QString longRelayURL = QStringLiteral(
    "wss://relay-gateway.eu-central-1.workshop-tools.internal.example-engineering-group.org:8443/"
    "infrastructure/shared-services/remote-development/relay/websocket-bridge/production/"
    "?tenant=engineering&region=eu-central-1");

QDateTime fixedTime()
{
    return QDateTime(QDate(2026, 12, 5), QTime(5, 55, 0), QTimeZone::utc());
}

} // namespace

class QRCodeDecodeTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void decodesToTheLink_data();
    void decodesToTheLink();

private:
    QString decoded(const QImage &image);

    QString zbarimg;
    QTemporaryDir directory;
};

void QRCodeDecodeTest::initTestCase()
{
    zbarimg = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
    QVERIFY2(!zbarimg.isEmpty(), "zbarimg (zbar-tools) is needed to decode the codes");
    QVERIFY(directory.isValid());
}

QString QRCodeDecodeTest::decoded(const QImage &image)
{
    const QString path = directory.filePath(QStringLiteral("code.png"));
    if (!image.save(path, "PNG"))
        return QStringLiteral("<not saved>");
    QProcess process;
    process.start(zbarimg, {QStringLiteral("--raw"), QStringLiteral("-q"), path});
    if (!process.waitForFinished(20000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return QStringLiteral("<no code found>");
    QByteArray output = process.readAllStandardOutput();
    if (output.endsWith('\n'))
        output.chop(1);
    return QString::fromUtf8(output);
}

void QRCodeDecodeTest::decodesToTheLink_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<qreal>("size");

    const LANConfig lan{QStringLiteral("192.168.1.20"), 8765, token, hostId, nonce};
    const RelayConfig managed{QStringLiteral("wss://elixir.relay.ferrowyn.dev/relay/v2"),
                              session,
                              token,
                              relayToken,
                              hostId,
                              HostRelayVersion::elixirV2,
                              nonce};
    RelayConfig selfHosted = managed;
    selfHosted.relayURL = longRelayURL;
    selfHosted.relayVersion = HostRelayVersion::goV1;

    const auto text = [](const std::optional<QUrl> &url) {
        return url ? url->toString(QUrl::FullyEncoded) : QString();
    };
    const QString lanLink = text(SetupLinkBuilder::lanLink(lan, fixedTime()));
    const QString longest = text(SetupLinkBuilder::relayLink(selfHosted, fixedTime()));
    // The shortest and the longest links the host makes, at the window's size, a fractional and a large one.
    QTest::newRow("LAN") << lanLink << qreal(220);
    QTest::newRow("managed relay") << text(SetupLinkBuilder::relayLink(managed, fixedTime())) << qreal(220);
    QTest::newRow("long self-hosted relay") << longest << qreal(220);
    QTest::newRow("long self-hosted relay, fractional size") << longest << qreal(333.3);
    QTest::newRow("LAN, large") << lanLink << qreal(640);
}

void QRCodeDecodeTest::decodesToTheLink()
{
    QFETCH(QString, link);
    QFETCH(qreal, size);
    QVERIFY(link.startsWith(QStringLiteral("ferrowyn://connect?mode=")));
    const std::optional<QImage> image = QRCodeRenderer::image(link, size);
    QVERIFY(image);
    QCOMPARE(image->size(), QSize(qRound(size), qRound(size)));
    QCOMPARE(decoded(*image), link);
}

QTEST_GUILESS_MAIN(QRCodeDecodeTest)
#include "tst_qr_code_decode.moc"
