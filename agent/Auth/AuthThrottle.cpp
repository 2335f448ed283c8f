#include "Auth/AuthThrottle.h"

#include <algorithm>

namespace {
// Bounds the memory a flood of distinct sources can take.
constexpr qsizetype maxTrackedSources = 4096;
constexpr int maxDoublings = 5;
} // namespace

AuthThrottle::AuthThrottle(int baseDelayMs, int freeFailures, qint64 forgetAfterMs)
    : m_baseDelayMs(baseDelayMs), m_freeFailures(freeFailures), m_forgetAfterMs(forgetAfterMs)
{}

int AuthThrottle::recordFailure(const QString &source, qint64 nowMs)
{
    forgetStale(nowMs);
    if (!m_records.contains(source) && m_records.size() >= maxTrackedSources) {
        auto oldest =
            std::min_element(m_records.begin(), m_records.end(), [](const Record &a, const Record &b) {
                return a.lastFailureMs < b.lastFailureMs;
            });
        m_records.erase(oldest);
    }
    Record &record = m_records[source];
    ++record.failures;
    record.lastFailureMs = nowMs;
    if (record.failures <= m_freeFailures)
        return 0;
    const int doublings = std::min(record.failures - m_freeFailures - 1, maxDoublings);
    return m_baseDelayMs * (1 << doublings);
}

bool AuthThrottle::beginHold()
{
    if (m_held >= maxHeldRefusals)
        return false;
    ++m_held;
    return true;
}

void AuthThrottle::endHold()
{
    m_held = std::max(0, m_held - 1);
}

void AuthThrottle::forgetStale(qint64 nowMs)
{
    for (auto it = m_records.begin(); it != m_records.end();) {
        if (nowMs - it->lastFailureMs > m_forgetAfterMs)
            it = m_records.erase(it);
        else
            ++it;
    }
}
