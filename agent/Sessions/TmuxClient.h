#pragma once

#include "Sessions/TmuxControlParser.h"

#include <QByteArray>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

// One tmux client in control mode, attached to one session of the agent's private tmux server. Its pipes are
// the agent's own rather than QProcess's, which would read everything into memory: when the agent stops
// reading, tmux stops reading the pane as soon as its small buffer for this client is full, and the program
// waits in its write. Commands are still taken meanwhile (an interrupt typed during a flood gets through).
class TmuxClient : public QObject {
    Q_OBJECT

public:
    using Reply = std::function<void(bool ok, const QList<QByteArray> &lines)>;

    // `environment` is the one tmux starts its server with (and so every session's program).
    TmuxClient(QString tmux, QString socket, QProcessEnvironment environment, QObject *parent = nullptr);
    ~TmuxClient() override;

    // Runs `tmux -S SOCKET -f /dev/null -C ARGUMENTS`; the answers to the commands of ARGUMENTS come through
    // commandLineReply, in order.
    void start(const QStringList &arguments);
    // Sends one command; `reply` gets its answer. Never blocks: what the pipe cannot take yet waits here.
    void send(const QByteArray &command, Reply reply = {});
    // Bytes sent but not yet taken by tmux.
    qsizetype pendingInput() const { return m_pendingInput.size(); }
    void setReading(bool reading);
    // Closes the client's input: tmux detaches it and the client ends; the session goes on.
    void detach();

signals:
    void output(const QByteArray &bytes);
    void commandLineReply(bool ok, const QList<QByteArray> &lines);
    // The client ended: its session ended, it was detached, or tmux could not run (`problem` then says why).
    void finished(const QString &problem);

private:
    void readAvailable(int budgetBytes);
    void writePending();
    void closeInput();
    void onProcessEnded();
    void end();

    QString m_tmux;
    QString m_socket;
    QProcess m_process;
    int m_inputFd = -1;
    int m_outputFd = -1;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    // Stopped and gone with the client: a timer left behind would still wake the agent once it was idle.
    QTimer m_outputGrace;
    TmuxControlParser m_parser;
    QByteArray m_pendingInput;
    std::deque<Reply> m_replies;
    QByteArray m_errors;
    bool m_reading = true;
    bool m_processEnded = false;
    bool m_ended = false;
};
