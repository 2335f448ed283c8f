#include "Services/Supervision/AgentExitReport.h"

#include "Shared/AgentExitStatus.h"

QString AgentExitReport::failure(int status, const QString &tail, int port)
{
    // The agent's own line about it stays in its output; the state says what it means, once.
    if (status == AgentExitStatus::cannotListen) {
        const QString which = port > 0 ? QStringLiteral("port %1").arg(port) : QStringLiteral("its port");
        return QStringLiteral("The agent cannot listen on %1: another program is probably using it. Choose "
                              "another port (Port under Connection, or --port with --headless).")
            .arg(which);
    }
    return QStringLiteral("Agent exited (status %1). ").arg(status) + tail;
}

bool AgentExitReport::restartCannotMend(int status)
{
    return status == AgentExitStatus::cannotListen || status == AgentExitStatus::badInput;
}
