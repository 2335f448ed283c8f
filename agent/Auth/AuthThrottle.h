#pragma once

#include <QHash>
#include <QString>

// Slows down whoever keeps presenting wrong credentials without ever standing in the way of a right one:
// every attempt is checked at once, a right one is answered at once, and only the refusal of a wrong one is
// held back. The first few failures from a source (an address, or one tablet behind the relay) cost
// nothing; then each further refusal waits base, 2 x base, 4 x base ... up to 32 x base before it is said.
// A source is forgotten after a quiet quarter of an hour; a success neither waits nor changes its record.
class AuthThrottle {
public:
    // Refusals held back at once, agent-wide; beyond that a refusal is said at once, so a flood cannot pile
    // up open connections.
    static constexpr int maxHeldRefusals = 128;

    explicit AuthThrottle(int baseDelayMs, int freeFailures = 3, qint64 forgetAfterMs = 15 * 60 * 1000);

    // Counts one more failure from `source` and returns how long its refusal is to be held back.
    int recordFailure(const QString &source, qint64 nowMs);
    // Claims a place for one held refusal; false when all are taken. Each claim is given back with endHold().
    bool beginHold();
    void endHold();
    int heldRefusals() const { return m_held; }

private:
    struct Record {
        int failures = 0;
        qint64 lastFailureMs = 0;
    };
    void forgetStale(qint64 nowMs);

    int m_baseDelayMs;
    int m_freeFailures;
    qint64 m_forgetAfterMs;
    QHash<QString, Record> m_records;
    int m_held = 0;
};
