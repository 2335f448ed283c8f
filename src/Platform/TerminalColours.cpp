#include "Platform/TerminalColours.h"

#include <unistd.h>

bool TerminalColours::wanted(int fd, const QProcessEnvironment &environment)
{
    return environment.value(QStringLiteral("NO_COLOR")).isEmpty() && ::isatty(fd) == 1;
}
