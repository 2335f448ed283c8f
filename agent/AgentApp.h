#pragma once

#include "AgentOptions.h"
#include "AgentSecrets.h"
#include "AgentTimings.h"
#include "Auth/AuthRefusalLog.h"
#include "Auth/AuthThrottle.h"
#include "Auth/ControlRequest.h"
#include "Auth/PairingAuthenticator.h"
#include "Auth/TrustedDevicesWatcher.h"
#include "Files/WorkspaceFileService.h"
#include "Tunnel/TunnelStatus.h"

#include <QObject>

#include <memory>

class LocalServer;
class NgrokTunnel;
class RelayClient;
class SessionManager;

// The running agent: the listening port, the optional ngrok tunnel and relay link, and an orderly end.
class AgentApp : public QObject {
    Q_OBJECT

public:
    AgentApp(AgentOptions options, AgentSecrets secrets, AgentTimings timings, QObject *parent = nullptr);
    ~AgentApp() override;

    // Starts serving; on failure returns the process exit status to use (see AgentExitStatus)
    // after writing a one-line reason to standard error. 0 means running.
    int start();
    // Closes the sockets, ends the ngrok child and the relay link.
    void shutdown();

private:
    AgentOptions m_options;
    AgentSecrets m_secrets;
    AgentTimings m_timings;
    TunnelStatus m_status;
    WorkspaceFileService m_files;
    PairingAuthenticator m_authenticator;
    AuthThrottle m_throttle;
    AuthRefusalLog m_refusals;
    TrustedDevicesWatcher m_devicesWatcher;
    ControlRequest m_control;
    // Before the conversations, which hold on to it until they end.
    std::unique_ptr<SessionManager> m_sessions;
    std::unique_ptr<LocalServer> m_server;
    std::unique_ptr<NgrokTunnel> m_ngrok;
    std::unique_ptr<RelayClient> m_relay;
};
