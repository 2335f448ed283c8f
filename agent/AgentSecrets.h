#pragma once

#include "AgentOptions.h"

#include <QProcessEnvironment>
#include <QString>

#include <variant>

// The pairing secrets, read only from the environment the host prepares.
struct AgentSecrets {
    QString hostToken;
    QString hostId;
    QString pairingNonce;
    QString ngrokAuthtoken;
    QString relayToken;

    // Every non-empty secret, for checks that the agent's output never carries one.
    QStringList all() const;
};

// The secrets, or a one-line message naming the missing one. An empty host token or host id counts as
// missing: accepting it would let any client that sends an empty value authenticate.
std::variant<AgentSecrets, QString> secretsFromEnvironment(const QProcessEnvironment &environment,
                                                           const AgentOptions &options);
