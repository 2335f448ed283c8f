#pragma once

#include <QString>
#include <QStringList>

// One UTF-8 line per event: events on standard output, problems on standard error. Callers never pass a
// secret or a value a client presented; line breaks inside a message are flattened so one event stays one
// line for the host's reader.
namespace AgentLog {
// Texts masked as "redacted" in every later line, whatever wrote it (Qt's own diagnostics included): a last
// line of defence behind the rule that no secret is ever passed here.
void setRedactions(const QStringList &secrets);
void event(const QString &message);
void error(const QString &message);
// A client-chosen text made safe for a log line: no control characters, bounded length.
QString printable(const QString &text, int maxLength = 64);
} // namespace AgentLog
