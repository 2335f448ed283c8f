#include "AgentSecrets.h"

#include "Shared/AgentEnvironment.h"
#include "Shared/AgentStaticKey.h"

QStringList AgentSecrets::all() const
{
    QStringList secrets;
    for (const QString &secret : {hostToken, hostId, pairingNonce, ngrokAuthtoken, relayToken, relaySession,
                                  controlSecret, agentKey}) {
        if (!secret.isEmpty())
            secrets.append(secret);
    }
    return secrets;
}

QByteArray AgentSecrets::staticKey() const
{
    return AgentStaticKey::decode(agentKey).value_or(QByteArray());
}

std::variant<AgentSecrets, QString> secretsFromEnvironment(const QProcessEnvironment &environment,
                                                           const AgentOptions &options)
{
    AgentSecrets secrets;
    secrets.hostToken = environment.value(AgentEnvironment::hostToken);
    secrets.hostId = environment.value(AgentEnvironment::hostId);
    secrets.pairingNonce = environment.value(AgentEnvironment::pairingNonce);
    secrets.ngrokAuthtoken = environment.value(AgentEnvironment::ngrokAuthtoken).trimmed();
    secrets.relayToken = environment.value(AgentEnvironment::relayToken);
    secrets.relaySession = environment.value(AgentEnvironment::relaySession);
    secrets.controlSecret = environment.value(AgentEnvironment::controlSecret);
    secrets.agentKey = environment.value(AgentEnvironment::agentKey);
    if (secrets.relaySession.isEmpty())
        secrets.relaySession = options.relaySession;
    if (secrets.hostToken.isEmpty())
        return AgentEnvironment::hostToken + QStringLiteral(" is not set");
    if (secrets.hostId.isEmpty())
        return AgentEnvironment::hostId + QStringLiteral(" is not set");
    if (options.relayEnabled() && secrets.relaySession.isEmpty())
        return AgentEnvironment::relaySession + QStringLiteral(" is not set (needed with --relay-url)");
    if (options.relayEnabled() && secrets.relayToken.isEmpty())
        return AgentEnvironment::relayToken + QStringLiteral(" is not set (needed with --relay-url)");
    return secrets;
}
