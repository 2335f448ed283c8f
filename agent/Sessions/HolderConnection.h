#pragma once

#include <QByteArray>
#include <QLocalSocket>
#include <QObject>

// The agent's side of the socket of one session's holder (see SessionHolderProtocol.h): the agent is one
// reader, for all its tablets.
class HolderConnection : public QObject {
    Q_OBJECT

public:
    explicit HolderConnection(QObject *parent = nullptr);

    // Connects to the holder at `socket` and asks for the output from `from` on; a size of 0x0 keeps the
    // terminal's.
    void connectTo(const QString &socket, qint64 from, int columns, int rows);
    // Asks the holder at `socket`, if one listens there, to end its program, and lets go.
    static void endAndForget(const QString &socket, QObject *context);
    // Closes the connection without a word to the holder, which goes on.
    void close();

    void input(const QByteArray &bytes);
    void resize(int columns, int rows);
    // The agent has taken the stream before `offset` (the least acknowledged over its tablets), or, with
    // none, holds nothing back.
    void acknowledge(qint64 offset);
    void holdNothing();
    void end();
    // Bytes written but not yet taken by the holder.
    qint64 pendingBytes() const { return m_socket.bytesToWrite(); }

signals:
    void attached(qint64 from, qint64 dropped);
    void output(qint64 offset, const QByteArray &bytes);
    void dropped(qint64 from, qint64 count);
    // The program ended: its exit status, or the signal that ended it, and the holder's problem that ended it
    // (empty when none did).
    void ended(bool bySignal, int value, const QString &problem);
    // The program's terminal took this size, whichever of the holder's readers gave it.
    void resized(int columns, int rows);
    // The connection ended without the program's end, or could not be made: `problem` says why.
    void lost(const QString &problem);

private:
    void send(const std::string &frame);
    void readFrames();

    QLocalSocket m_socket;
    QByteArray m_received;
    bool m_ended = false;
};
