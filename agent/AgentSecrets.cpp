#include "AgentSecrets.h"

QStringList AgentSecrets::all() const
{
    QStringList secrets;
    for (const QString &secret :
         {hostToken, hostId, pairingNonce, ngrokAuthtoken, relayToken, relaySession}) {
        if (!secret.isEmpty())
            secrets.append(secret);
    }
    return secrets;
}

std::variant<AgentSecrets, QString> secretsFromEnvironment(const QProcessEnvironment &environment,
                                                           const AgentOptions &options)
{
    AgentSecrets secrets;
    secrets.hostToken = environment.value(QStringLiteral("VELMORA_HOST_TOKEN"));
    secrets.hostId = environment.value(QStringLiteral("VELMORA_HOST_ID"));
    secrets.pairingNonce = environment.value(QStringLiteral("VELMORA_PAIRING_NONCE"));
    secrets.ngrokAuthtoken = environment.value(QStringLiteral("VELMORA_NGROK_AUTHTOKEN")).trimmed();
    secrets.relayToken = environment.value(QStringLiteral("VELMORA_RELAY_TOKEN"));
    secrets.relaySession = environment.value(QStringLiteral("VELMORA_RELAY_SESSION"));
    if (secrets.relaySession.isEmpty())
        secrets.relaySession = options.relaySession;
    if (secrets.hostToken.isEmpty())
        return QStringLiteral("VELMORA_HOST_TOKEN is not set");
    if (secrets.hostId.isEmpty())
        return QStringLiteral("VELMORA_HOST_ID is not set");
    if (options.relayEnabled() && secrets.relaySession.isEmpty())
        return QStringLiteral("VELMORA_RELAY_SESSION is not set (needed with --relay-url)");
    if (options.relayEnabled() && secrets.relayToken.isEmpty())
        return QStringLiteral("VELMORA_RELAY_TOKEN is not set (needed with --relay-url)");
    return secrets;
}
