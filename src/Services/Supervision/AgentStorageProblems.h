#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

// The files the agent said it could not write, each until it says that file is written again, read from its
// output lines. A full disk under the agent is the user's to mend, so it must stand
// where warnings stand, not only scroll by in the log.
class AgentStorageProblems {
public:
    // True when the problems changed. `mask` is applied to the lines kept, as they come straight from the
    // agent.
    bool observe(const QStringList &lines, const std::function<QString(const QString &)> &mask);
    void clear() { m_failures.clear(); }
    // One line for every file, or empty.
    QString warning() const;

private:
    QMap<QString, QString> m_failures; // by subject, the agent's last line about it
};
