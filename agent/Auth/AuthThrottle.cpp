#include "Auth/AuthThrottle.h"

#include <algorithm>

namespace {
// Bounds the memory a flood of distinct addresses can take.
constexpr qsizetype maxTrackedAddresses = 4096;
constexpr int maxDoublings = 5;
} // namespace

AuthThrottle::AuthThrottle(int baseDelayMs, int freeFailures, qint64 forgetAfterMs)
    : m_baseDelayMs(baseDelayMs), m_freeFailures(freeFailures), m_forgetAfterMs(forgetAfterMs)
{}

int AuthThrottle::delayMsFor(const QString &address, qint64 nowMs)
{
    forgetStale(nowMs);
    const auto it = m_records.constFind(address);
    if (it == m_records.constEnd() || it->failures < m_freeFailures)
        return 0;
    const int doublings = std::min(it->failures - m_freeFailures, maxDoublings);
    return m_baseDelayMs * (1 << doublings);
}

void AuthThrottle::recordFailure(const QString &address, qint64 nowMs)
{
    forgetStale(nowMs);
    if (!m_records.contains(address) && m_records.size() >= maxTrackedAddresses) {
        auto oldest =
            std::min_element(m_records.begin(), m_records.end(), [](const Record &a, const Record &b) {
                return a.lastFailureMs < b.lastFailureMs;
            });
        m_records.erase(oldest);
    }
    Record &record = m_records[address];
    ++record.failures;
    record.lastFailureMs = nowMs;
}

void AuthThrottle::recordSuccess(const QString &address)
{
    m_records.remove(address);
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
