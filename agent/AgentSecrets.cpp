#include "AgentSecrets.h"

QStringList AgentSecrets::all() const
{
    QStringList secrets;
    for (const QString &secret : {hostToken, hostId, pairingNonce, ngrokAuthtoken, relayToken}) {
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
    if (secrets.hostToken.isEmpty())
        return QStringLiteral("VELMORA_HOST_TOKEN is not set");
    if (secrets.hostId.isEmpty())
        return QStringLiteral("VELMORA_HOST_ID is not set");
    if (options.relayEnabled() && secrets.relayToken.isEmpty())
        return QStringLiteral("VELMORA_RELAY_TOKEN is not set (needed with --relay-url)");
    return secrets;
}
