#pragma once

#include "FakeAgent.h"
#include "MemoryKeyring.h"
#include "Platform/JsonFileUserDefaults.h"
#include "ScriptedFolderChooser.h"
#include "Services/HostAgentController.h"
#include "Services/Settings/HostPreferences.h"
#include "Shared/TrustedDevicesFile.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <memory>

// A loopback port that nothing listens on right now.
inline quint16 freeLoopbackPort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

// One item of a setup link's query, decoded.
inline QString queryValue(const QUrl &link, const QString &key)
{
    return QUrlQuery(link).queryItemValue(key, QUrl::FullyDecoded);
}

// The runtime folder where coding sessions live, one for each harness: what a test's controller ends or
// lists is never the user's.
struct PrivateRuntimeFolder {
    PrivateRuntimeFolder() { qputenv("XDG_RUNTIME_DIR", folder.path().toUtf8()); }
    QTemporaryDir folder;
};

// A controller on in-memory defaults and keyring, launching the scripted stand-in agent, with short delays.
struct AgentControllerHarness {
    static HostAgentTimings shortTimings()
    {
        HostAgentTimings timings;
        timings.confirmationDelay = std::chrono::milliseconds(100);
        timings.restart.firstDelay = std::chrono::milliseconds(150);
        timings.restart.longestDelay = std::chrono::milliseconds(1200);
        timings.process.killTimeout = std::chrono::milliseconds(300);
        timings.setupLinkRefreshInterval = std::chrono::milliseconds(200);
        return timings;
    }

    explicit AgentControllerHarness(HostAgentTimings timings = shortTimings())
        : preferences(defaults,
                      HostNgrokTokenStore(keyring, QStringLiteral("test.ngrok"), QStringLiteral("token"))),
          controller(std::make_unique<HostAgentController>(
              defaults, keyring, [this] { return agentPath; }, chooser, timings))
    {
        preferences.setKeepRelayOnline(false);
    }

    ~AgentControllerHarness() { controller->stop(true); }

    // Makes the devices the ones the trusted devices file lists, as the agent would write them.
    static bool trust(const QList<TrustedDevice> &devices)
    {
        QString error;
        return TrustedDevicesFile(HostAgentController::trustedDevicesPath())
            .update(
                [&](QList<TrustedDevice> &listed) {
                    listed = devices;
                    return true;
                },
                &error);
    }

    void start(const QString &script)
    {
        FakeAgent::setScript(script);
        controller->start(&preferences);
        // The launch goes on once the keyring has answered, on a later turn of the event loop.
        QTRY_VERIFY(!controller->launchAwaitsCredentials());
    }
    // Starts the agent with the script and waits until it counts as running.
    void run(const QString &script = QStringLiteral("hang"))
    {
        start(script);
        QTRY_COMPARE(controller->state(), AgentRunState::running());
    }

    PrivateRuntimeFolder runtime;
    QTemporaryDir scratch;
    JsonFileUserDefaults defaults;
    MemoryKeyring keyring;
    ScriptedFolderChooser chooser;
    HostPreferences preferences;
    std::optional<QString> agentPath = FakeAgent::path();
    std::unique_ptr<HostAgentController> controller;
};
