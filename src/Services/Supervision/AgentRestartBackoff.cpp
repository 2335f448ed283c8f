#include "Services/Supervision/AgentRestartBackoff.h"

#include <algorithm>

AgentRestartBackoff::Duration AgentRestartBackoff::delayAfterRun(Duration uptime)
{
    if (uptime >= m_timings.stableRun)
        m_quickExits = 0;
    Duration delay = m_timings.firstDelay;
    // Doubled once for every quick exit before this one, so the first restart keeps its short pause.
    for (int i = 0; i < m_quickExits && delay < m_timings.longestDelay; ++i)
        delay *= 2;
    if (uptime < m_timings.quickExit)
        ++m_quickExits;
    return std::min(delay, m_timings.longestDelay);
}
