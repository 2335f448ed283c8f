// What a host installed at the given path would do: prints the agent its own locator finds, and writes the
// autostart entry "Open at login" would write into the given folder.
#include "Platform/FileProbe.h"
#include "Platform/LoginItem.h"
#include "Services/Supervision/AgentLaunchPlan.h"
#include "Shared/AppBrand.h"
#include "Shared/BuildConfig.h"

#include <QFileInfo>
#include <QTextStream>

int main(int argc, char *argv[])
{
    if (argc != 3)
        return 2;
    const QString host = QString::fromLocal8Bit(argv[1]);
    XdgAutostartLoginItem loginItem(QLatin1String(BuildConfig::appId), AppBrand::hostName, host,
                                    QString::fromLocal8Bit(argv[2]));
    const std::optional<QString> agent =
        AgentLaunchPlan::locateAgent(QFileInfo(host).absolutePath(), FileProbe::system());
    if (!agent || loginItem.registerApplication())
        return 1;
    QTextStream(stdout) << *agent << '\n';
    return 0;
}
