#pragma once

#include <QString>

// One UTF-8 line per event: events on standard output, problems on standard error. Callers never pass a
// secret or a value a client presented; line breaks inside a message are flattened so one event stays one
// line for the host's reader.
namespace AgentLog {
void event(const QString &message);
void error(const QString &message);
// A client-chosen text made safe for a log line: no control characters, bounded length.
QString printable(const QString &text, int maxLength = 64);
} // namespace AgentLog
