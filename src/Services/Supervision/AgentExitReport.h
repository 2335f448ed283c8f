#pragma once

#include <QString>

// What the user is told when the agent ended by itself with a status other than a clean one, and whether
// starting it again could mend that: a port another program holds, or a launch the agent refuses, stays as it
// is until the user changes something.
namespace AgentExitReport {

// The failure in words: for a port that cannot be listened on, which port and what to do; otherwise the
// status and the agent's last lines (`tail`). `port` is 0 when unknown.
QString failure(int status, const QString &tail, int port);
bool restartCannotMend(int status);

} // namespace AgentExitReport
