#pragma once

#include "Auth/PairingAuthenticator.h"
#include "Files/WorkspaceFileService.h"
#include "Sessions/CodingSession.h"
#include "Sessions/SessionPrograms.h"

#include <QHash>
#include <QJsonArray>
#include <QObject>

#include <functional>
#include <optional>
#include <variant>

struct SessionSettings {
    QStringList programs;
    bool allowShell = false;
    QString runtimeFolder;
    // SessionInfo::pairingOf the current host id.
    QString pairing;
    QProcessEnvironment agentEnvironment;
    // The program that holds each session (ferrowyn-session, beside the agent).
    QString holderProgram;
};

// Every coding session on this computer: opens them within the limits, finds those an earlier agent left,
// ends those whose device or pairing is no longer trusted, and keeps the state file the host watches.
class SessionManager : public QObject {
    Q_OBJECT

public:
    SessionManager(SessionSettings settings, const WorkspaceFileService *files,
                   const PairingAuthenticator *authenticator, QObject *parent = nullptr);
    ~SessionManager() override;

    // Checks that the holder program and a private folder are there, then takes over the sessions an earlier
    // agent left.
    void start();
    // The agent is stopping: lets go of every session, which goes on without it.
    void release();

    using Opened = std::function<void(const std::variant<CodingSession *, ServiceError> &)>;
    // Opens a session for the device; `done` is called once, unless `context` is gone by then.
    void open(const QString &folder, const QString &program, int columns, int rows, const QString &deviceId,
              const QString &deviceName, QObject *context, Opened done);
    CodingSession *find(const QString &id) const { return m_sessions.value(id); }
    // How a recently ended session `id` ended (as its tablets were told), or none: a tablet that was away
    // when it ended learns it when it comes back.
    std::optional<QJsonObject> endOf(const QString &id) const;
    QJsonArray list() const;
    QJsonArray programs() const { return m_programs.describe(); }
    // Ends the session `id`, or every session when `id` is empty; how many were running.
    int end(const QString &id, const QString &reason);
    // Ends the sessions of devices no longer trusted.
    void checkDevices();
    // Why sessions cannot run here, or empty.
    QString problem() const { return m_problem; }

signals:
    void changed();

private:
    // Takes over the session `id` an earlier agent left, or ends it when it may not go on.
    void recover(const QString &id);
    void adopt(CodingSession *session);
    void rememberEnd(const QString &id, const QJsonObject &how);
    void writeState();
    CodingSession *newSession(const SessionInfo &info, const QString &folder);

    SessionSettings m_settings;
    const WorkspaceFileService *m_files;
    const PairingAuthenticator *m_authenticator;
    SessionPrograms m_programs;
    QString m_problem;
    QHash<QString, CodingSession *> m_sessions;
    QHash<QString, QJsonObject> m_ends;
    QStringList m_endOrder;
    int m_opening = 0;
    bool m_started = false;
};
