// Checks folders as an unprivileged user would see them: run as root, it first drops to "nobody", because
// root reads and writes every folder and would make every verdict "ready". Prints one line per path:
// status, canRead, canWrite, separated by tabs. With "--controller" first, the paths are pinned and checked
// through HostAgentController::refreshPermissionPreflight, and each line also carries the message.
#include "MemoryKeyring.h"
#include "Platform/JsonFileUserDefaults.h"
#include "ScriptedFolderChooser.h"
#include "Services/HostAgentController.h"
#include "Services/HostPreferences.h"
#include "Services/PermissionPreflight.h"

#include <QCoreApplication>
#include <QTextStream>

#include <grp.h>
#include <unistd.h>

#include <cstdio>

namespace {

QList<HostPermissionPreflightItem> checkThroughController(const QStringList &paths)
{
    JsonFileUserDefaults defaults;
    MemoryKeyring keyring;
    ScriptedFolderChooser chooser;
    HostPreferences preferences(
        defaults, HostNgrokTokenStore(keyring, QStringLiteral("probe.ngrok"), QStringLiteral("token")));
    preferences.setWorkspaces(paths);
    HostAgentController controller(
        defaults, keyring, [] { return std::optional<QString>(); }, chooser);
    controller.refreshPermissionPreflight(&preferences);
    return controller.permissionPreflightItems();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (geteuid() == 0) {
        constexpr uid_t nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
            setresuid(nobody, nobody, nobody) != 0) {
            std::perror("cannot drop privileges");
            return 3;
        }
    }
    QTextStream out(stdout);
    QStringList paths = app.arguments().mid(1);
    const bool throughController = !paths.isEmpty() && paths.first() == QLatin1String("--controller");
    if (throughController) {
        paths.removeFirst();
        for (const HostPermissionPreflightItem &item : checkThroughController(paths))
            out << rawValue(item.status) << '\t' << item.canRead << '\t' << item.canWrite << '\t'
                << item.message << '\n';
        return 0;
    }
    for (const QString &path : paths) {
        const HostPermissionPreflightItem item = PermissionPreflight::check(path, nullptr);
        out << rawValue(item.status) << '\t' << item.canRead << '\t' << item.canWrite << '\n';
    }
    return 0;
}
