#pragma once

#include "Platform/Keyring.h"

#include <QHash>
#include <QString>

// The keyring for a machine with no Secret Service, chosen explicitly by the user: every item in one JSON
// file that only its owner can read (folder 0700, file 0600), rewritten atomically. The file's owner is the
// only protection, as with an SSH key; the user is told where it is.
class SecretsFileKeyring : public Keyring {
public:
    explicit SecretsFileKeyring(QString path = standardPath());

    // $XDG_STATE_HOME/ferrowyn-host/credentials.json.
    static QString standardPath();

    QString path() const { return m_path; }
    // Where a file that could not be read was moved, when that happened on load; empty otherwise.
    QString movedAsidePath() const { return m_movedAsidePath; }

    void read(const QString &service, const QString &account, QObject *context, ReadDone done) override;
    void write(const QByteArray &data, const QString &service, const QString &account, QObject *context,
               Done done) override;
    void remove(const QString &service, const QString &account, QObject *context, Done done) override;
    void unlock(QObject *context, Done done) override;

private:
    void load();
    QString save() const;

    QString m_path;
    QString m_movedAsidePath;
    QString m_loadError;
    QHash<QString, QByteArray> m_items;
};
