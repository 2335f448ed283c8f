#include "AgentOptions.h"

#include "Shared/AgentCommandLine.h"
#include "Shared/RelayCodecStateName.h"
#include "Shared/RelayEndpoint.h"

#include <QFileInfo>

namespace {

// Only the agent reads it; the host passes the session through the environment.
const QString relaySessionOption = QStringLiteral("--relay-session");
const QStringList valueOptions{
    AgentCommandLine::workspace,     AgentCommandLine::address, AgentCommandLine::tunnelMode,
    AgentCommandLine::relayURL,      relaySessionOption,        AgentCommandLine::relayCodecState,
    AgentCommandLine::sessionProgram};

bool isDecimal(const QString &text)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

AgentOptionsParseResult failure(const QString &message)
{
    return AgentOptionsParseResult{std::nullopt, message};
}

} // namespace

std::optional<std::pair<QHostAddress, quint16>> parseListenAddress(const QString &text)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return std::nullopt;
    QString host = text.left(colon);
    const QString portText = text.mid(colon + 1);
    if (!isDecimal(portText) || portText.toInt() > 65535)
        return std::nullopt;
    QHostAddress address;
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
        if (!address.setAddress(host) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
    } else if (host == QLatin1String("localhost")) {
        address = QHostAddress(QHostAddress::LocalHost);
    } else {
        // QHostAddress also takes shorthand such as "1" or "127.1"; only the full dotted form is meant here.
        if (host.count(QLatin1Char('.')) != 3 || !address.setAddress(host) ||
            address.protocol() != QAbstractSocket::IPv4Protocol)
            return std::nullopt;
    }
    return std::make_pair(address, static_cast<quint16>(portText.toInt()));
}

AgentOptionsParseResult parseAgentOptions(const QStringList &arguments)
{
    AgentOptions options;
    QStringList seen;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString name = arguments.at(i);
        std::optional<QString> value;
        if (name == QLatin1String("--help") || name == QLatin1String("-h")) {
            options.showHelp = true;
            continue;
        }
        if (name == QLatin1String("--version")) {
            options.showVersion = true;
            continue;
        }
        if (name == AgentCommandLine::allowShell) {
            options.allowShell = true;
            continue;
        }
        if (name == AgentCommandLine::allowUnencryptedClients) {
            options.allowUnencryptedClients = true;
            continue;
        }
        const qsizetype equals = name.indexOf(QLatin1Char('='));
        if (name.startsWith(QLatin1String("--")) && equals > 0) {
            value = name.mid(equals + 1);
            name = name.left(equals);
        }
        if (!valueOptions.contains(name)) {
            if (name.startsWith(QLatin1Char('-')))
                return failure(QStringLiteral("unknown option %1").arg(name));
            return failure(QStringLiteral("unexpected argument \"%1\"").arg(name));
        }
        if (!value) {
            if (i + 1 >= arguments.size())
                return failure(QStringLiteral("option %1 needs a value").arg(name));
            value = arguments.at(++i);
        }
        if (value->isEmpty())
            return failure(QStringLiteral("option %1 needs a non-empty value").arg(name));
        if (name != AgentCommandLine::workspace && name != AgentCommandLine::sessionProgram &&
            seen.contains(name))
            return failure(QStringLiteral("option %1 is given more than once").arg(name));
        seen.append(name);

        if (name == AgentCommandLine::workspace) {
            options.workspaces.append(*value);
        } else if (name == AgentCommandLine::address) {
            const auto parsed = parseListenAddress(*value);
            if (!parsed)
                return failure(QStringLiteral("malformed --addr \"%1\": expected HOST:PORT").arg(*value));
            options.address = parsed->first;
            options.port = parsed->second;
        } else if (name == AgentCommandLine::tunnelMode) {
            if (*value != AgentCommandLine::ngrokTunnelMode)
                return failure(
                    QStringLiteral("unknown --tunnel-mode \"%1\": only ngrok is supported").arg(*value));
            options.ngrokTunnel = true;
        } else if (name == AgentCommandLine::relayURL) {
            options.relayURL = *value;
        } else if (name == AgentCommandLine::sessionProgram) {
            options.sessionPrograms.append(*value);
        } else if (name == relaySessionOption) {
            options.relaySession = *value;
        } else {
            options.relayCodecStatePath = *value;
        }
    }
    if (options.showHelp || options.showVersion)
        return AgentOptionsParseResult{options, {}};
    if (!options.relaySession.isEmpty() && options.relayURL.isEmpty())
        return failure(QStringLiteral("--relay-session needs --relay-url"));
    if (!options.relayCodecStatePath.isEmpty() && options.relayURL.isEmpty())
        return failure(QStringLiteral("--relay-codec-state needs --relay-url"));
    return AgentOptionsParseResult{options, {}};
}

QString agentUsage()
{
    return QStringLiteral(
        "Usage: ferrowyn-agent [options]\n"
        "Serves pinned folders to a paired tablet over a WebSocket at /ws, with a health answer at "
        "/healthz.\n"
        "\n"
        "  --workspace PATH           a folder the tablet may open (repeatable)\n"
        "  --addr HOST:PORT           listening address (default 127.0.0.1:8765)\n"
        "  --tunnel-mode ngrok        also open an ngrok tunnel to the listening port\n"
        "  --relay-url URL            connect out to this relay\n"
        "  --relay-session ID         deprecated: the relay session now comes from VELMORA_RELAY_SESSION,\n"
        "                             which wins when both are given\n"
        "  --relay-codec-state PATH   file that keeps the relay's resume state\n"
        "  --session-program NAME     a program tablets may start in a coding session (repeatable)\n"
        "  --allow-shell              tablets may also start the user's login shell, as \"shell\"\n"
        "  --allow-unencrypted-clients\n"
        "                             let in tablets that do not encrypt from any address (by default only\n"
        "                             from this computer); anyone on the way can read what they send\n"
        "  --version                  print the build and exit\n"
        "  --help                     print this text and exit\n"
        "\n"
        "Secrets come only from the environment: VELMORA_HOST_TOKEN and VELMORA_HOST_ID (required),\n"
        "VELMORA_PAIRING_NONCE, VELMORA_NGROK_AUTHTOKEN, VELMORA_RELAY_TOKEN and VELMORA_RELAY_SESSION\n"
        "(required with --relay-url), and VELMORA_AGENT_KEY (without it encrypted connections are "
        "refused).\n");
}

HostRelayVersion relayVersionFor(const AgentOptions &options, const QString &hostId, const QString &session)
{
    if (!options.relayCodecStatePath.isEmpty()) {
        const QString fileName = QFileInfo(options.relayCodecStatePath).fileName();
        for (const HostRelayVersion version : allRelayVersions) {
            // The earlier name is matched by its end only, as it always was.
            if (fileName == relayCodecStateFileName(rawValue(version), hostId, session) ||
                fileName.endsWith(earlierRelayCodecStateFileName(version, QString(), session)))
                return version;
        }
    }
    return inferredRelayVersion(options.relayURL);
}

QString earlierRelayCodecStateFileName(HostRelayVersion version, const QString &hostId,
                                       const QString &session)
{
    return hostId + QLatin1Char('-') + rawValue(version) + QLatin1Char('-') + session +
           QStringLiteral(".json");
}

std::optional<QUrl> relayConnectURL(const AgentOptions &options, const QString &session)
{
    const std::optional<QString> endpoint = relayEndpoint(options.relayURL, session);
    if (!endpoint)
        return std::nullopt;
    QUrl url(*endpoint, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        url.setScheme(QStringLiteral("wss"));
    else if (scheme == QLatin1String("http"))
        url.setScheme(QStringLiteral("ws"));
    else if (scheme != QLatin1String("ws") && scheme != QLatin1String("wss"))
        return std::nullopt;
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    return url;
}
