#pragma once

#include "FakeAgent.h"
#include "MemoryKeyring.h"
#include "Platform/JsonFileUserDefaults.h"
#include "ScriptedFolderChooser.h"
#include "Services/HostAgentController.h"
#include "Services/HostPreferences.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

// A controller on in-memory defaults and keyring, launching the scripted stand-in agent, with short delays.
struct AgentControllerHarness {
    static HostAgentTimings shortTimings()
    {
        HostAgentTimings timings;
        timings.confirmationDelay = std::chrono::milliseconds(100);
        timings.restart.firstDelay = std::chrono::milliseconds(150);
        timings.restart.longestDelay = std::chrono::milliseconds(1200);
        timings.restart.quickExit = std::chrono::milliseconds(1000);
        timings.restart.stableRun = std::chrono::milliseconds(2000);
        timings.process.killTimeout = std::chrono::milliseconds(300);
        // Small slices, so output is often still waiting when the agent exits.
        timings.process.readSliceBytes = 1024;
        return timings;
    }

    explicit AgentControllerHarness(HostAgentTimings timings = shortTimings())
        : preferences(defaults,
                      HostNgrokTokenStore(keyring, QStringLiteral("test.ngrok"), QStringLiteral("token")))
    {
        locator = [this] {
            return agentPath;
        };
        controller = std::make_unique<HostAgentController>(
            defaults, keyring, [this] { return locator(); }, chooser, timings);
        preferences.setKeepRelayOnline(false);
    }

    ~AgentControllerHarness() { controller->stop(true); }

    QString file(const QString &name) const { return scratch.filePath(name); }

    void start(const QString &script)
    {
        FakeAgent::setScript(script);
        controller->start(&preferences);
        // The launch goes on once the keyring has answered, on a later turn of the event loop.
        QTRY_VERIFY(!controller->launchAwaitsCredentials());
    }

    QTemporaryDir scratch;
    JsonFileUserDefaults defaults;
    MemoryKeyring keyring;
    ScriptedFolderChooser chooser;
    HostPreferences preferences;
    std::optional<QString> agentPath = FakeAgent::path();
    AgentLocator locator;
    std::unique_ptr<HostAgentController> controller;
};

// Readable run states in failed comparisons.
inline char *toString(const AgentRunState &state)
{
    const char *kinds[] = {"stopped", "starting", "running", "stopping", "failed"};
    QString text = QString::fromLatin1(kinds[static_cast<int>(state.kind())]);
    if (state.isFailed())
        text += QStringLiteral("(\"%1\")").arg(state.message());
    return QTest::toString(text);
}
