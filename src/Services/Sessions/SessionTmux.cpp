#include "Services/Sessions/SessionTmux.h"

#include "Platform/FileProbe.h"
#include "Services/Supervision/AgentLaunchPlan.h"
#include "Shared/SessionFiles.h"

#include <QDir>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <memory>

namespace {

QStringList killArguments(const QString &runtimeFolder, const QString &id)
{
    return {QStringLiteral("-S"), SessionFiles::tmuxSocket(runtimeFolder, id), QStringLiteral("kill-server")};
}

// Whatever the kill answered: "no server running" means the server is gone already, and a session folder
// without a live server is only what is left of it.
void removeFolder(const QString &runtimeFolder, const QString &id)
{
    QDir(SessionFiles::sessionFolder(runtimeFolder, id)).removeRecursively();
}

QProcess *killer(const QString &tmux, const QString &runtimeFolder, const QString &id, QObject *parent)
{
    auto *process = new QProcess(parent);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->setProgram(tmux);
    process->setArguments(killArguments(runtimeFolder, id));
    return process;
}

} // namespace

QString SessionTmux::toolPath()
{
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString path = QStringLiteral("PATH");
    return AgentLaunchPlan::augmentedToolPath(
        environment.contains(path) ? std::optional(environment.value(path)) : std::nullopt, QDir::homePath(),
        FileProbe::system());
}

QString SessionTmux::program()
{
    return QStandardPaths::findExecutable(QStringLiteral("tmux"),
                                          toolPath().split(QLatin1Char(':'), Qt::SkipEmptyParts));
}

QStringList SessionTmux::attachArguments(const QString &runtimeFolder, const QString &id)
{
    return {QStringLiteral("-S"), SessionFiles::tmuxSocket(runtimeFolder, id),
            QStringLiteral("attach-session"), QStringLiteral("-t"), QLatin1Char('=') + id};
}

void SessionTmux::end(const QString &runtimeFolder, const QString &id, QObject *context,
                      std::function<void()> done)
{
    const auto finish = [runtimeFolder, id, context = QPointer(context), done] {
        removeFolder(runtimeFolder, id);
        if (context && done)
            done();
    };
    const QString tmux = program();
    if (tmux.isEmpty()) {
        // Without tmux no session can run: what is there is a folder left behind.
        QMetaObject::invokeMethod(context, finish, Qt::QueuedConnection);
        return;
    }
    QProcess *process = killer(tmux, runtimeFolder, id, context);
    QObject::connect(process, &QProcess::finished, context, [process, finish] {
        process->deleteLater();
        finish();
    });
    QObject::connect(process, &QProcess::errorOccurred, context,
                     [process, finish](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return;
                         process->deleteLater();
                         finish();
                     });
    process->start();
}

void SessionTmux::endAndWait(const QString &runtimeFolder, const QStringList &ids,
                             std::chrono::milliseconds timeout)
{
    const QString tmux = program();
    for (const QString &id : ids) {
        if (!tmux.isEmpty()) {
            std::unique_ptr<QProcess> process(killer(tmux, runtimeFolder, id, nullptr));
            process->start();
            // A server that does not answer keeps its folder, and with it its socket to end it later.
            if (!process->waitForFinished(static_cast<int>(timeout.count())))
                continue;
        }
        removeFolder(runtimeFolder, id);
    }
}
