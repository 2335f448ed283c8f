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
    // Not a secret to the relay, but it lets a tablet reach this host through it, so it is kept off the
    // command line like one.
    QString relaySession;
    // Authenticates the host's control requests; empty when the host gave none.
    QString controlSecret;
    // The secret half of the agent's static key as the environment gives it (see AgentStaticKey); empty
    // when none was given. A text that is not a key counts as none (staticKey()).
    QString agentKey = {};

    // The decoded static secret key; empty when none was given or the text is not a key.
    QByteArray staticKey() const;

    // Every non-empty secret, for checks that the agent's output never carries one.
    QStringList all() const;
};

// The secrets, or a one-line message naming the missing one. An empty host token or host id counts as
// missing: accepting it would let any client that sends an empty value authenticate. The relay session
// comes from VELMORA_RELAY_SESSION, or else from the deprecated --relay-session.
std::variant<AgentSecrets, QString> secretsFromEnvironment(const QProcessEnvironment &environment,
                                                           const AgentOptions &options);
