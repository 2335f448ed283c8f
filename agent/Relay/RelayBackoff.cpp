#include "Relay/RelayBackoff.h"

#include <algorithm>

RelayBackoff::RelayBackoff(int initialMs, int maxMs, std::function<double()> unitRandom)
    : m_initialMs(initialMs), m_maxMs(std::max(initialMs, maxMs)), m_unitRandom(std::move(unitRandom))
{}

int RelayBackoff::nextDelayMs()
{
    const long long ceiling =
        std::min<long long>(static_cast<long long>(m_initialMs) << std::min(m_attempt, 20), m_maxMs);
    ++m_attempt;
    const double fraction = 0.25 + 0.75 * std::clamp(m_unitRandom(), 0.0, 1.0);
    return static_cast<int>(static_cast<double>(ceiling) * fraction);
}
