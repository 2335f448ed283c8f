#include "Services/Wording/StatusTexts.h"

#include "Shared/AgentStaticKey.h"

#include <QUrlQuery>

using Kind = AgentRunState::Kind;

namespace {

const QString startHostingTitle = QStringLiteral("Start hosting to generate a setup link.");
const QString pickModeMessage = QStringLiteral("Pick a hosting mode on the left and press Start.");

// The ngrok route is the only one whose link waits for something after the agent runs.
bool waitsForTunnel(const StatusTexts::HostingStatus &hosting)
{
    return hosting.settings.wantsTunnel() && hosting.state.kind() == Kind::running;
}

} // namespace

QString StatusTexts::headerLabel(const AgentRunState &state)
{
    switch (state.kind()) {
    case Kind::stopped:
        return QStringLiteral("Stopped");
    case Kind::starting:
        return QStringLiteral("Starting");
    case Kind::running:
        return QStringLiteral("Running");
    case Kind::stopping:
        return QStringLiteral("Stopping");
    case Kind::failed:
        return QStringLiteral("Error");
    }
    return {};
}

QString StatusTexts::statusHeadline(const HostingStatus &hosting)
{
    switch (hosting.state.kind()) {
    case Kind::stopped:
        return QStringLiteral("Not hosting");
    case Kind::starting:
        return QStringLiteral("Starting host agent\u2026");
    case Kind::stopping:
        return QStringLiteral("Stopping host agent\u2026");
    case Kind::failed:
        return hosting.state.message();
    case Kind::running:
        break;
    }
    if (hosting.settings.mode == HostingMode::relay)
        return QStringLiteral("Hosting via relay");
    if (hosting.settings.ngrokTunnelEnabled) {
        if (hosting.tunnelState == TunnelState::online)
            return QStringLiteral("Hosting via ngrok tunnel");
        if (hosting.tunnelState == TunnelState::failed)
            return hosting.tunnelLastError.isEmpty() ? QStringLiteral("Ngrok tunnel failed")
                                                     : hosting.tunnelLastError;
        return QStringLiteral("Starting ngrok tunnel...");
    }
    if (!hosting.settings.lanBindAll)
        return QStringLiteral("Hosting on 127.0.0.1 (local-machine testing)");
    return QStringLiteral("Hosting on ") +
           (hosting.resolvedLANAddress.isEmpty() ? QStringLiteral("LAN") : hosting.resolvedLANAddress);
}

QString StatusTexts::tunnelStatusText(TunnelState tunnelState, const QString &publicURL,
                                      const QString &lastError)
{
    switch (tunnelState) {
    case TunnelState::online:
        return publicURL.isEmpty() ? QStringLiteral("Online") : publicURL;
    case TunnelState::failed:
        return lastError.isEmpty() ? QStringLiteral("Failed") : lastError;
    case TunnelState::starting:
        return QStringLiteral("Starting");
    case TunnelState::disabled:
    case TunnelState::unknown:
        break;
    }
    return QStringLiteral("Disabled");
}

QString StatusTexts::disconnectedTitle(const HostingStatus &hosting)
{
    if (!waitsForTunnel(hosting))
        return startHostingTitle;
    return hosting.tunnelState == TunnelState::failed ? QStringLiteral("Ngrok tunnel failed.")
                                                      : QStringLiteral("Waiting for ngrok tunnel.");
}

QString StatusTexts::disconnectedMessage(const HostingStatus &hosting)
{
    if (!waitsForTunnel(hosting))
        return pickModeMessage;
    if (hosting.tunnelState != TunnelState::failed)
        return QStringLiteral("The QR code appears after ngrok returns a public URL.");
    if (hosting.tunnelLastError.isEmpty())
        return QStringLiteral("Check ngrok status, or add an authtoken for a more stable tunnel.");
    return hosting.tunnelLastError;
}

QString StatusTexts::instructionText(const HostingStatus &hosting)
{
    if (hosting.settings.wantsTunnel())
        return QStringLiteral(
            "Scan with the iPad camera, or open this link on the iPad to connect through the ngrok tunnel.");
    if (hosting.resolvedLANAddress.startsWith(QLatin1String("127.0.0.1:")))
        return QStringLiteral(
            "Local-machine testing link. Turn on Listen on all interfaces to connect from a physical iPad.");
    return QStringLiteral("Scan with the iPad camera, or open this link on the iPad to connect.");
}

std::optional<QDateTime> StatusTexts::setupLinkExpiry(const QUrl &link)
{
    if (!link.isValid() || !link.hasQuery())
        return std::nullopt;
    const QList<QPair<QString, QString>> items = QUrlQuery(link).queryItems(QUrl::FullyDecoded);
    for (const auto &[name, value] : items) {
        if (name != QLatin1String("expiresAt"))
            continue;
        const QDateTime expiry = QDateTime::fromString(value, Qt::ISODate);
        // An internet date-time has a time and an explicit UTC time or offset.
        const qsizetype timeStart = value.indexOf(QLatin1Char('T'));
        const bool zoned = value.endsWith(QLatin1Char('Z')) || value.indexOf(QLatin1Char('+')) > timeStart ||
                           value.lastIndexOf(QLatin1Char('-')) > timeStart;
        if (!expiry.isValid() || timeStart < 0 || !zoned)
            return std::nullopt;
        return expiry;
    }
    return std::nullopt;
}

QString StatusTexts::expiryLine(const QDateTime &expiry, const QLocale &locale)
{
    return QStringLiteral("Setup link expires ") +
           locale.toString(expiry.toLocalTime().time(), QLocale::ShortFormat) +
           QStringLiteral(". Rotation revokes trusted devices and existing setup links.");
}

QString StatusTexts::keyFingerprintLine(const QUrl &link)
{
    const std::optional<QByteArray> key = AgentStaticKey::decode(
        QUrlQuery(link).queryItemValue(QStringLiteral("agentKey"), QUrl::FullyDecoded));
    return key ? QStringLiteral("Key fingerprint: ") + AgentStaticKey::fingerprint(*key) : QString();
}

QString StatusTexts::identityValue(const QString &value)
{
    return value.isEmpty() ? QStringLiteral("Created on start") : value;
}

QString StatusTexts::settingsFileNotice(const QString &path, const QString &backupPath)
{
    const QString unreadable =
        QStringLiteral("Your settings file could not be read, so defaults are in use. ");
    if (backupPath.isEmpty())
        return unreadable +
               QStringLiteral("It could not be moved aside either, so changes are not saved until ") + path +
               QStringLiteral(" is repaired or removed.");
    return unreadable + QStringLiteral("The damaged file was kept as ") + backupPath + QStringLiteral(".");
}
