// Prints the agent that a host installed at the given path would run, as the host's own locator finds it.
#include "Platform/FileProbe.h"
#include "Services/AgentLaunchPlan.h"

#include <QFileInfo>
#include <QTextStream>

int main(int argc, char *argv[])
{
    if (argc != 2)
        return 2;
    const QString hostDir = QFileInfo(QString::fromLocal8Bit(argv[1])).absolutePath();
    const std::optional<QString> agent = AgentLaunchPlan::locateAgent(hostDir, FileProbe::system());
    if (!agent)
        return 1;
    QTextStream(stdout) << *agent << '\n';
    return 0;
}
