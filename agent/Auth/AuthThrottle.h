#pragma once

#include <QHash>
#include <QString>

// Slows down an address that keeps presenting wrong credentials: the first few failures cost nothing, then
// each further attempt from that address waits base, 2 x base, 4 x base ... up to 32 x base before it is
// answered. An address is forgotten after a quiet quarter of an hour or when it authenticates.
class AuthThrottle {
public:
    explicit AuthThrottle(int baseDelayMs, int freeFailures = 3, qint64 forgetAfterMs = 15 * 60 * 1000);

    int delayMsFor(const QString &address, qint64 nowMs);
    void recordFailure(const QString &address, qint64 nowMs);
    void recordSuccess(const QString &address);

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
};
