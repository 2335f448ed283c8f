#pragma once

#include <QProcessEnvironment>

// Every delay the agent waits for. The defaults are the production values; tests shorten them through the
// FERROWYN_AGENT_TEST_* variables (see PROTOCOL.md), which nothing else sets.
struct AgentTimings {
    // A connection that has not authenticated within this is closed.
    int authTimeoutMs = 5'000;
    // A connection with output waiting that writes nothing for this long is given up (see WriteBacklog).
    int writeStallMs = 30'000;
    int ngrokStartTimeoutMs = 45'000;
    int relayBackoffInitialMs = 1'000;
    int relayBackoffMaxMs = 30'000;
    // An unreachable relay may never answer; the attempt is abandoned and retried after this.
    int relayConnectTimeoutMs = 15'000;
    // A relay link that answers no ping within this long is treated as lost (NAT and proxies drop idle links
    // silently).
    int relayKeepaliveIntervalMs = 30'000;
    // Extra wait before answering an address that keeps failing to authenticate; doubles per failure.
    int authThrottleBaseMs = 1'000;
    // Refused attempts from one source are written once per interval, with a count.
    int authRefusalLogIntervalMs = 10'000;
    // How long the agent waits for its ngrok child to end after SIGTERM before killing it.
    int childStopGraceMs = 500;
    // How long a closed WebSocket's connection is kept, read and discarded, so that a client still sending
    // receives the close frame instead of a reset.
    int closeDrainMs = 2'000;
    // A connection that has not become a WebSocket within this is closed (see GuardedTcpServer).
    int upgradeDeadlineMs = 10'000;
    // Time given to close frames to leave before the process ends.
    int shutdownFlushMs = 100;

    static AgentTimings fromEnvironment(const QProcessEnvironment &environment);
};
