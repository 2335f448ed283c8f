#pragma once

#include <QProcessEnvironment>

// Whether text for this file descriptor may carry colour escapes: only when it is a terminal and NO_COLOR is
// unset or empty. A file, a pipe or the journal gets plain text, which would otherwise keep the escapes as
// garbage.
namespace TerminalColours {

bool wanted(int fd, const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

} // namespace TerminalColours
