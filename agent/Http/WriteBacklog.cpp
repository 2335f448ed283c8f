#include "Http/WriteBacklog.h"

#include <QAbstractSocket>

WriteBacklog::WriteBacklog(int stallLimitMs, QObject *parent) : QObject(parent)
{
    m_stall.setSingleShot(true);
    m_stall.setInterval(stallLimitMs);
    connect(&m_stall, &QTimer::timeout, this, [this] {
        m_stuck = true;
        emit stuck(QStringLiteral("wrote nothing for %1 s").arg(m_stall.interval() / 1000.0));
    });
}

void WriteBacklog::watch(QAbstractSocket *connection)
{
    if (m_connection)
        m_connection->disconnect(this);
    m_connection = connection;
    m_stall.stop();
    m_stuck = false;
    if (connection)
        connect(connection, &QAbstractSocket::bytesWritten, this, &WriteBacklog::written);
    written();
}

qint64 WriteBacklog::bytes() const
{
    return m_connection ? m_connection->bytesToWrite() : 0;
}

void WriteBacklog::queued()
{
    if (m_stuck)
        return;
    const qint64 waiting = bytes();
    if (waiting > maxBytes) {
        m_stuck = true;
        m_stall.stop();
        emit stuck(QStringLiteral("more than %1 MiB waiting").arg(maxBytes / (1024 * 1024)));
        return;
    }
    m_holding = m_holding || waiting >= outputLimitBytes;
    if (waiting > 0 && !m_stall.isActive())
        m_stall.start();
}

void WriteBacklog::written()
{
    // Each write to the system restarts the clock: a slow link that keeps moving is not stuck.
    if (bytes() > 0)
        m_stall.start();
    else
        m_stall.stop();
    if (m_holding && takesOutput()) {
        m_holding = false;
        emit drained();
    }
}
