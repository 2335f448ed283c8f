#pragma once

#include <functional>

// Capped exponential backoff with jitter: initial, 2 x initial, 4 x initial ... up to the cap, each delay
// drawn uniformly from its upper three quarters so that many agents do not reconnect in step.
class RelayBackoff {
public:
    // `unitRandom` returns a number in [0, 1); injected so tests see exact values.
    RelayBackoff(int initialMs, int maxMs, std::function<double()> unitRandom);

    int nextDelayMs();
    void reset() { m_attempt = 0; }

private:
    int m_initialMs;
    int m_maxMs;
    std::function<double()> m_unitRandom;
    int m_attempt = 0;
};
