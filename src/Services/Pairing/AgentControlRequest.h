#pragma once

#include <QObject>
#include <QString>

#include <functional>

// The running agent's loopback control requests, authenticated by the secret the host gave it at launch.
// Answered later, on the context's thread, with whether the agent did what it was asked.
namespace AgentControlRequest {

inline constexpr int answerTimeoutMs = 3000;

// The agent forgets the device, takes the new pairing nonce and closes the device's connections.
void revokeDevice(int port, const QString &secret, const QString &deviceId, const QString &pairingNonce,
                  QObject *context, std::function<void(bool done)> answered);

} // namespace AgentControlRequest
