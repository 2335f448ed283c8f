// Checks folders as an unprivileged user would see them: run as root, it first drops to "nobody", because
// root reads and writes every folder and would make every verdict "ready". Prints one line per path:
// status, canRead, canWrite, separated by tabs.
#include "Services/Folders/PermissionPreflight.h"

#include <QCoreApplication>
#include <QTextStream>

#include <grp.h>
#include <unistd.h>

#include <cstdio>

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
    for (const QString &path : app.arguments().mid(1)) {
        const HostPermissionPreflightItem item = PermissionPreflight::check(path, nullptr);
        out << rawValue(item.status) << '\t' << item.canRead << '\t' << item.canWrite << '\n';
    }
    return 0;
}
