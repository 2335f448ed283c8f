#pragma once

#include "Services/Sessions/SessionsState.h"

#include <QAbstractListModel>
#include <QQmlEngine>

#include <functional>

class SessionsWatcher;

// The coding sessions running on this computer, oldest first, for the window: where each works, what runs
// in it, which tablet opened it, since when, and whether a tablet is attached now. Everything but the times
// and counts comes from tablets and settings, and is shown as plain text.
class CodingSessionsModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The presenter owns the coding sessions")
    Q_PROPERTY(int count READ count NOTIFY contentsChanged)
    Q_PROPERTY(bool damaged READ damaged NOTIFY contentsChanged)

public:
    enum Role { IdRole = Qt::UserRole + 1, FolderRole, ProgramRole, DeviceRole, SinceRole, AttachmentRole };

    // `agentRunning` tells whether the counts of attached tablets are current: the agent writes them, and
    // they are stale while none runs. Call agentRunningChanged() when its answer changes.
    // `end` ends one session by its id.
    CodingSessionsModel(const SessionsWatcher &watcher, std::function<bool()> agentRunning,
                        std::function<void(const QString &id)> end, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const { return static_cast<int>(m_sessions.size()); }
    // The agent's list could not be read; the sessions shown come from their own folders.
    bool damaged() const { return m_damaged; }
    void agentRunningChanged();
    // The question before `id` ends (empty when it is gone), and its end once the user agreed.
    Q_INVOKABLE QString endQuestion(const QString &id) const;
    Q_INVOKABLE void end(const QString &id);
    // The question before the folders `removed` are unpinned from `pinned`, when that ends sessions (the
    // agent started again without them ends those inside none of the folders left); empty otherwise.
    Q_INVOKABLE QString unpinQuestion(const QStringList &removed, const QStringList &pinned) const;

    // "since 14:05" for a session opened today (local time), "since 3 Dec, 14:05" otherwise.
    static QString sinceText(const QDateTime &openedAt, const QDateTime &now);
    // "2 tablets attached", or that no count is known while no agent runs.
    static QString attachmentText(int tablets, bool agentRunning);

signals:
    void contentsChanged();

private:
    void refresh();

    const SessionsWatcher &m_watcher;
    std::function<bool()> m_agentRunning;
    std::function<void(const QString &id)> m_end;
    QList<HostedSession> m_sessions;
    bool m_damaged = false;
};
