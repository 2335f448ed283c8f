#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

class QAbstractSocket;

// What waits in the agent to be written to one connection. A peer that stops reading (its receive window
// full) would otherwise make every message queued for it stay in the agent's memory: session output is
// taken for it only while little waits, more than a bound ends the connection, and so does a connection that
// writes nothing for a while with something waiting.
class WriteBacklog : public QObject {
    Q_OBJECT

public:
    // Session output is taken while less than this waits; a tablet that reads is never this far behind,
    // since it has at most the unacknowledged output and a reply or two on the way.
    static constexpr qint64 outputLimitBytes = 1024 * 1024;
    // Past this (replies to requests it keeps sending, or the last output of sessions ending) the peer is
    // cut off.
    static constexpr qint64 maxBytes = 8 * 1024 * 1024;

    // `stallLimitMs`: how long something may wait with nothing written before the connection is given up.
    explicit WriteBacklog(int stallLimitMs, QObject *parent = nullptr);

    // The connection whose writes are watched, from now on (null: none, nothing waits).
    void watch(QAbstractSocket *connection);
    qint64 bytes() const;
    bool takesOutput() const { return bytes() < outputLimitBytes; }
    // To be called after each message handed to the connection.
    void queued();

signals:
    // Output may be taken again after takesOutput() said no.
    void drained();
    // The connection must be given up: it holds more than maxBytes, or wrote nothing for the stall limit.
    void stuck(const QString &reason);

private:
    void written();

    QPointer<QAbstractSocket> m_connection;
    QTimer m_stall;
    bool m_holding = false;
    bool m_stuck = false;
};
