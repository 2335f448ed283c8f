#include "HeadlessHostRunner.h"
#include "ScannedCode.h"

#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>

namespace {

// A line of a printed QR code: half blocks and blanks only.
bool isCodeLine(const QString &line)
{
    static const QRegularExpression code(QStringLiteral("^[ \u2580\u2584\u2588]*[\u2580\u2584\u2588][ "
                                                        "\u2580\u2584\u2588]*$"));
    return code.match(line).hasMatch();
}

// The printed half-block QR code back as modules: what a phone camera would see.
QImage terminalModules(const QStringList &lines)
{
    QImage image(static_cast<int>(lines.value(0).size()), static_cast<int>(2 * lines.size()),
                 QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int row = 0; row < lines.size(); ++row) {
        const QString &line = lines.at(row);
        for (int x = 0; x < line.size() && x < image.width(); ++x) {
            if (line.at(x) == QChar(0x2580) || line.at(x) == QChar(0x2588))
                image.setPixel(x, 2 * row, qRgb(0, 0, 0));
            if (line.at(x) == QChar(0x2584) || line.at(x) == QChar(0x2588))
                image.setPixel(x, 2 * row + 1, qRgb(0, 0, 0));
        }
    }
    return image.scaled(image.size() * 8);
}

} // namespace

QString HeadlessHostRunner::printed(QProcess &host)
{
    return outputs[&host] += QString::fromUtf8(host.readAllStandardOutput());
}

QJsonObject HeadlessHostRunner::status() const
{
    return QJsonDocument::fromJson(ask({"--status", "--json"}).second.toUtf8()).object();
}

QString HeadlessHostRunner::warnings() const
{
    QStringList lines;
    for (const QJsonValue warning : status().value("warnings").toArray())
        lines.append(warning.toString());
    return lines.join('\n');
}

HeadlessHostRunner::HeadlessHostRunner()
{
    QTcpServer free;
    if (!free.listen(QHostAddress::LocalHost) || !home.isValid() || !workspace.isValid() ||
        !QDir(home.path()).mkpath(QStringLiteral("run")))
        qFatal("no free port or no scratch folders");
    port = QString::number(free.serverPort());
    QFile::setPermissions(home.path() + QStringLiteral("/run"),
                          QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
}

QProcessEnvironment HeadlessHostRunner::environment(const QString &homePath) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_CONFIG_HOME", "XDG_STATE_HOME"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("HOME"), homePath.isEmpty() ? home.path() : homePath);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path() + QStringLiteral("/run"));
    // A window would need this platform and find no display to open it on.
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return environment;
}

std::pair<int, QString> HeadlessHostRunner::ask(const QStringList &arguments, const QByteArray &input) const
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(QStringLiteral(FERROWYN_HOST_PATH), arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(10000);
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput())};
}

void HeadlessHostRunner::startHost(QProcess &host, const QStringList &arguments,
                                   const QString &homePath) const
{
    host.setProcessEnvironment(environment(homePath));
    host.start(FERROWYN_HOST_PATH,
               QStringList{"--headless", "--loopback", "--port", port, "--workspace", workspace.path()} +
                   arguments);
}

QStringList HeadlessHostRunner::printedLinks(const QString &output) const
{
    QStringList links;
    QStringList code;
    for (const QString &line : output.split(QLatin1Char('\n'))) {
        if (isCodeLine(line)) {
            code.append(line);
            continue;
        }
        if (code.isEmpty())
            continue;
        links.append(scannedCode(terminalModules(code), home.filePath(QStringLiteral("code.png"))));
        code.clear();
    }
    return links;
}

bool HeadlessHostRunner::tabletPairs(const QString &link) const
{
    return QProcess::execute("/usr/bin/python3",
                             {FERROWYN_AGENT_TEST_DIR "/tablet_client.py", link, workspace.path()}) == 0;
}
