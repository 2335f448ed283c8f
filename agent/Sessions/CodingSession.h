#pragma once

#include "ServiceError.h"
#include "Sessions/OutputHistory.h"
#include "Sessions/SessionInfo.h"
#include "Sessions/SessionPrograms.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QProcessEnvironment>

#include <optional>

class HolderConnection;
class QProcess;

// Whoever receives a session's output: one tablet's conversation.
class SessionViewer {
public:
    virtual void sessionOutput(const QString &id, qint64 offset, const QByteArray &bytes) = 0;
    virtual void sessionEnded(const QString &id, const QJsonObject &how) = 0;
    // The program's terminal took another size: a viewer whose own differs draws at this one.
    virtual void sessionResized(const QString &id, int columns, int rows) = 0;
    // Whether its connection takes more output now. While it does not, the sessions hold its output back as
    // for a tablet that does not acknowledge, until it calls CodingSession::resume().
    virtual bool canTakeOutput() const { return true; }

protected:
    ~SessionViewer() = default;
};

// One coding session: a program held by its own `ferrowyn-session` process, its output as a byte stream
// counted from the session's start (kept in memory here, and on disk by the holder), and the tablets attached
// to it, each fed as fast as it acknowledges. The agent tells the holder the least acknowledged offset over
// its tablets, so a slow tablet holds back its own session's program and nothing else.
class CodingSession : public QObject {
    Q_OBJECT

public:
    // `folder`: the session's own folder (its holder's socket, output files and exit record, what it is);
    // `holder`: the holder program; `environment`: the program's.
    CodingSession(SessionInfo info, QString holder, QProcessEnvironment environment, QString folder,
                  QObject *parent = nullptr);
    ~CodingSession() override;

    // The end of the program of the session kept in `folder` as its holder wrote it down there, or none.
    static std::optional<QJsonObject> exitIn(const QString &folder);
    // How a session ended that `reason` (not its program's own end) ended, as its tablets are told.
    static QJsonObject endedBecause(const QString &reason);

    const SessionInfo &info() const { return m_info; }
    // Starts `program` under a new holder; `started` tells how it went.
    void open(const SessionProgram &program, int columns, int rows);
    // Takes over a session that an earlier agent started: its kept output, then exactly what followed.
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
    std::optional<ServiceError> input(SessionViewer *viewer, const QByteArray &bytes);
    void resize(SessionViewer *viewer, int columns, int rows);
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

    void connectHolder(qint64 from, int columns, int rows);
    void onOutput(qint64 offset, const QByteArray &bytes);
    void onLost(const QString &problem);
    void append(const QByteArray &bytes);
    void pump();
    void makeActive(SessionViewer *viewer);
    void programResized(int columns, int rows);
    void finish(const QJsonObject &how);

    struct Viewer {
        qint64 sent = 0;
        qint64 acknowledged = 0;
        int columns = 0;
        int rows = 0;
        quint64 activeAt = 0;
    };

    SessionInfo m_info;
    QString m_holder;
    QProcessEnvironment m_environment;
    QString m_folder;
    OutputHistory m_history;
    QPointer<QProcess> m_starter;
    QPointer<HolderConnection> m_connection;
    QHash<SessionViewer *, Viewer> m_viewers;
    State m_state = State::starting;
    QByteArray m_partialCharacter;
    QString m_endReason;
    // What the holder was last told: the least acknowledged offset (-1: nothing held back), and the size.
    qint64 m_toldAcknowledged = -2;
    int m_toldColumns = 0;
    int m_toldRows = 0;
    // The terminal's size as the holder last said it (or as it started, until it says).
    int m_programColumns = 0;
    int m_programRows = 0;
    quint64 m_activity = 0;
};
