#pragma once

#include "ServiceError.h"

#include <QJsonArray>
#include <QProcessEnvironment>
#include <QStringList>

#include <variant>

struct SessionProgram {
    // The name a tablet asks for.
    QString name;
    QString path;
    QStringList arguments;
};

// The programs the host lets tablets start, by name: each found on the agent's PATH (or given as an absolute
// path), and the user's login shell when the host allows it.
class SessionPrograms {
public:
    SessionPrograms(QStringList names, bool allowShell, QString searchPath, QString loginShell);

    std::variant<SessionProgram, ServiceError> resolve(const QString &name) const;
    // [{"name", "available"}], for the tablet's choice.
    QJsonArray describe() const;

    // The user's shell from the password database, or /bin/sh.
    static QString userLoginShell();

private:
    QStringList m_names;
    bool m_allowShell;
    QStringList m_searchPath;
    QString m_loginShell;
};

// The environment a session's program gets: the agent's own without any pairing secret or control secret, and
// as a terminal that understands what xterm understands, in true colour.
QProcessEnvironment sessionEnvironment(const QProcessEnvironment &agentEnvironment);
