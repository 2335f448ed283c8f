#pragma once

#include <chrono>

struct AgentRestartTimings {
    std::chrono::milliseconds firstDelay{1500};
    std::chrono::milliseconds longestDelay{60000};
    // An exit sooner than this after the start counts as a crash loop.
    std::chrono::milliseconds quickExit{10000};
    // A run this long starts the count again.
    std::chrono::milliseconds stableRun{60000};
};

// How long to wait before an agent that exited by itself is started again. An agent that keeps dying soon
// after its start (its port taken, a relay that refuses it) is retried ever less often instead of every
// moment, while one that ran for a good while is retried at once, as a one-off fault.
class AgentRestartBackoff {
public:
    using Duration = std::chrono::milliseconds;

    explicit AgentRestartBackoff(AgentRestartTimings timings = {}) : m_timings(timings) {}

    // The pause before the next start, for an agent that ran this long before it exited.
    Duration delayAfterRun(Duration uptime);
    // A start by the user: no crash loop is going on.
    void reset() { m_quickExits = 0; }

private:
    AgentRestartTimings m_timings;
    int m_quickExits = 0;
};
