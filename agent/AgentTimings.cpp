#include "AgentTimings.h"

namespace {

void override(const QProcessEnvironment &environment, const char *name, int &value)
{
    bool ok = false;
    const int parsed = environment.value(QString::fromLatin1(name)).toInt(&ok);
    if (ok && parsed >= 0)
        value = parsed;
}

} // namespace

AgentTimings AgentTimings::fromEnvironment(const QProcessEnvironment &environment)
{
    AgentTimings timings;
    override(environment, "FERROWYN_AGENT_TEST_AUTH_TIMEOUT_MS", timings.authTimeoutMs);
    override(environment, "FERROWYN_AGENT_TEST_NGROK_TIMEOUT_MS", timings.ngrokStartTimeoutMs);
    override(environment, "FERROWYN_AGENT_TEST_RELAY_BACKOFF_MS", timings.relayBackoffInitialMs);
    override(environment, "FERROWYN_AGENT_TEST_RELAY_BACKOFF_MAX_MS", timings.relayBackoffMaxMs);
    override(environment, "FERROWYN_AGENT_TEST_AUTH_THROTTLE_MS", timings.authThrottleBaseMs);
    override(environment, "FERROWYN_AGENT_TEST_AUTH_LOG_INTERVAL_MS", timings.authRefusalLogIntervalMs);
    override(environment, "FERROWYN_AGENT_TEST_CLOSE_DRAIN_MS", timings.closeDrainMs);
    override(environment, "FERROWYN_AGENT_TEST_WRITE_STALL_MS", timings.writeStallMs);
    override(environment, "FERROWYN_AGENT_TEST_UPGRADE_DEADLINE_MS", timings.upgradeDeadlineMs);
    if (timings.relayBackoffMaxMs < timings.relayBackoffInitialMs)
        timings.relayBackoffMaxMs = timings.relayBackoffInitialMs;
    return timings;
}
