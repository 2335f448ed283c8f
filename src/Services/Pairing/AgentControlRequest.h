#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>

// The running agent's loopback control requests, authenticated by the secret the host gave it at launch.
// Answered later, on the context's thread, with whether the agent did what it was asked.
namespace AgentControlRequest {

inline constexpr int answerTimeoutMs = 3000;

// Where the agent of the last launch takes control requests, and the secret they present.
struct Channel {
    int port = 0;
    QString secret;
};

// The agent forgets the device, takes the new pairing nonce and closes the device's connections.
void revokeDevice(const Channel &channel, const QString &deviceId, const QString &pairingNonce,
                  QObject *context, std::function<void(bool done)> answered);

// The agent ends the coding session `id`, or every session when `id` is empty, and tells its tablets.
void endSessions(const Channel &channel, const QString &id, QObject *context,
                 std::function<void(bool done)> answered);

} // namespace AgentControlRequest
