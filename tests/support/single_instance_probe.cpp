// One of many processes a test starts together to claim the same single-instance socket: "SOCKET BARRIER".
// Prints "ready" and waits until the test lets go of its lock on BARRIER, so that every probe claims at the
// same moment; then prints "won" or "lost". A winner answers requests until one asks it to quit.
#include "Platform/SingleInstance.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const int barrier = ::open(argv[2], O_RDONLY | O_CLOEXEC);
    std::puts("ready");
    std::fflush(stdout);
    if (barrier < 0 || ::flock(barrier, LOCK_SH) != 0)
        return 2;
    SingleInstance instance(QFile::decodeName(argv[1]));
    const bool won = instance.claim();
    std::puts(won ? "won" : "lost");
    std::fflush(stdout);
    if (!won)
        return 0;
    instance.setRequestHandler([](const QJsonObject &request) {
        if (request.value(QStringLiteral("request")).toString() == QLatin1String("quit"))
            QCoreApplication::quit();
        return QJsonObject{{QStringLiteral("pid"), static_cast<qint64>(::getpid())}};
    });
    return QCoreApplication::exec();
}
