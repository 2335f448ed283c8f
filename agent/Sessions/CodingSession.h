#pragma once

#include "ServiceError.h"
#include "Sessions/ExitMarker.h"
#include "Sessions/OutputHistory.h"
#include "Sessions/OutputSpool.h"
#include "Sessions/SessionInfo.h"
#include "Sessions/SessionPrograms.h"
#include "Sessions/TmuxCommands.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>

#include <optional>

class TmuxClient;

// Whoever receives a session's output: one tablet's conversation.
class SessionViewer {
public:
    virtual void sessionOutput(const QString &id, qint64 offset, const QByteArray &bytes) = 0;
    virtual void sessionEnded(const QString &id, const QJsonObject &how) = 0;
    // Whether its connection takes more output now. While it does not, the sessions hold its output back as
    // for a tablet that does not acknowledge, until it calls CodingSession::resume().
    virtual bool canTakeOutput() const { return true; }

protected:
    ~SessionViewer() = default;
};

// One coding session: a program in a session of the agent's tmux server, its output as a byte stream counted
// from the session's start (kept in memory and in its folder), and the tablets attached to it, each fed as
// fast as it acknowledges. The session's output is taken from tmux only while every attached tablet is less
// than SessionLimits::unacknowledgedBytes behind, so a slow tablet holds back its own session and nothing
// else.
class CodingSession : public QObject {
    Q_OBJECT

public:
    // `folder`: the session's own folder (history, exit status, what it is).
    CodingSession(SessionInfo info, TmuxServer server, QString folder, QObject *parent = nullptr);
    ~CodingSession() override;

    // The end of the program of the session kept in `folder` as its shell wrote it down there, or none.
    static std::optional<QJsonObject> exitIn(const QString &folder);
    // How a session ended that `reason` (not its program's own end) ended, as its tablets are told.
    static QJsonObject endedBecause(const QString &reason);

    const SessionInfo &info() const { return m_info; }
    // Starts `program` in a new tmux session; `started` tells how it went.
    void open(const SessionProgram &program, int columns, int rows);
    // Takes over a session that an earlier agent started: its kept output, then the screen as it is now,
    // since what the program wrote while no agent ran is not known byte for byte.
    void recover();

    struct Attachment {
        qint64 from = 0;
        qint64 dropped = 0;
    };
    // Sends `viewer` the output from `from` on (from the oldest kept byte when older: `dropped` says how much
    // is missing), then what follows as it comes.
    Attachment attach(SessionViewer *viewer, qint64 from);
    void detach(SessionViewer *viewer);
    bool isAttached(SessionViewer *viewer) const { return m_viewers.contains(viewer); }
    // The viewer has processed the output before `offset`.
    void acknowledge(SessionViewer *viewer, qint64 offset);
    // A viewer can take output again.
    void resume() { pump(); }
    std::optional<ServiceError> input(const QByteArray &bytes);
    void resize(int columns, int rows);
    // Ends the program and the session; `reason` is what the tablets are told.
    void end(const QString &reason);
    // The agent is stopping: lets go of the session, which goes on without it.
    void release();

    int viewerCount() const { return static_cast<int>(m_viewers.size()); }
    bool isRunning() const { return m_state == State::running; }
    QJsonObject describe() const;

signals:
    // The outcome of open(): empty `problem` when the program runs.
    void started(const QString &problem);
    void ended(const QJsonObject &how);
    void viewersChanged();

private:
    enum class State { starting, recovering, running, ended };

    void startClient(const QStringList &arguments);
    void onCommandLineReply(bool ok, const QList<QByteArray> &lines);
    void onOutput(const QByteArray &bytes);
    void onClientFinished(const QString &problem);
    void append(const QByteArray &bytes);
    void pump();
    void finish(const QJsonObject &how);
    void kill();
    // How the session ended, when that is known.
    std::optional<QJsonObject> outcome() const;

    struct Viewer {
        qint64 sent = 0;
        qint64 acknowledged = 0;
    };

    SessionInfo m_info;
    TmuxServer m_server;
    QString m_folder;
    OutputHistory m_history;
    OutputSpool m_spool;
    ExitMarker m_exitMarker;
    std::optional<int> m_exitStatus;
    QPointer<TmuxClient> m_client;
    QHash<SessionViewer *, Viewer> m_viewers;
    State m_state = State::starting;
    QList<QList<QByteArray>> m_attachReplies;
    QByteArray m_partialCharacter;
    QString m_endReason;
    int m_commandLineAnswers = 0;
    int m_reattachments = 0;
    bool m_reading = true;
};
