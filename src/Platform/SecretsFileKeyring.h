#pragma once

#include "Platform/Keyring.h"

#include <QHash>
#include <QString>

#include <functional>

// The keyring for a machine with no Secret Service, chosen explicitly by the user: every item in one JSON
// file that only its owner can read (folder 0700, file 0600), rewritten atomically. The file's owner is the
// only protection, as with an SSH key; the user is told where it is. As with an SSH key, a file or folder
// that other users can reach, or that another user owns, is refused (see PrivateFileCheck): nothing is read
// from it or written over it.
class SecretsFileKeyring : public Keyring {
public:
    explicit SecretsFileKeyring(QString path = standardPath());

    // $XDG_STATE_HOME/ferrowyn-host/credentials.json.
    static QString standardPath();

    QString path() const { return m_path; }
    // Where a file that could not be read was moved, when that happened on load; empty otherwise.
    QString movedAsidePath() const { return m_movedAsidePath; }
    // Why the file is not used (refused, or unreadable and impossible to move aside); empty when it is.
    QString loadError() const { return m_loadError; }
    // Told the outcome of every write to the file: empty once it holds every item, else why it does not.
    void setSaveReport(std::function<void(const QString &failure)> report)
    {
        m_saveReport = std::move(report);
    }

    void read(const QString &service, const QString &account, QObject *context, ReadDone done) override;
    void write(const QByteArray &data, const QString &service, const QString &account, QObject *context,
               Done done) override;
    void remove(const QString &service, const QString &account, QObject *context, Done done) override;
    void unlock(QObject *context, Done done) override;

private:
    void load();
    QString save();

    QString m_path;
    QString m_movedAsidePath;
    QString m_loadError;
    QHash<QString, QByteArray> m_items;
    std::function<void(const QString &)> m_saveReport;
};
