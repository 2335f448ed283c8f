#include "AgentApp.h"
#include "AgentLog.h"
#include "Shared/AgentBuild.h"
#include "Shared/AgentExitStatus.h"
#include "Shared/UnixSignalWatcher.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Qt's own diagnostics become single lines on standard error like the agent's; one known harmless
// complaint of QtHttpServer 6.4 about sockets that were upgraded is dropped.
void forwardQtMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (message.startsWith(QLatin1String("QIODevice::peek (QTcpSocket): device not open")))
        return;
    AgentLog::error(message);
}

} // namespace

int main(int argc, char *argv[])
{
    // A host that crashes must not leave the agent holding its port: the kernel sends SIGTERM when the
    // parent ends, and a parent that ended before this line is caught by comparing parents.
    const pid_t parentAtStart = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (parentAtStart != 1 && ::getppid() != parentAtStart)
        return 0;
    // A host that closes its end of the output pipes must not kill the agent mid-write.
    std::signal(SIGPIPE, SIG_IGN);

    qInstallMessageHandler(forwardQtMessage);
    QCoreApplication app(argc, argv);
    const AgentOptionsParseResult parsed = parseAgentOptions(app.arguments().mid(1));
    if (!parsed.options) {
        AgentLog::error(QStringLiteral("ferrowyn-agent: %1 (see --help)").arg(parsed.error));
        return AgentExitStatus::badInput;
    }
    const AgentOptions &options = *parsed.options;
    if (options.showHelp) {
        std::fputs(agentUsage().toUtf8().constData(), stdout);
        return 0;
    }
    if (options.showVersion) {
        AgentLog::event(QString::fromLatin1(AgentBuild::identifier));
        return 0;
    }
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const auto secrets = secretsFromEnvironment(environment, options);
    if (const auto *error = std::get_if<QString>(&secrets)) {
        AgentLog::error(QStringLiteral("ferrowyn-agent: %1").arg(*error));
        return AgentExitStatus::badInput;
    }

    AgentLog::setRedactions(std::get<AgentSecrets>(secrets).all());
    const AgentTimings timings = AgentTimings::fromEnvironment(environment);
    UnixSignalWatcher signalWatcher({SIGTERM, SIGINT});
    AgentApp agent(options, std::get<AgentSecrets>(secrets), timings);
    QObject::connect(&signalWatcher, &UnixSignalWatcher::signalReceived, &app, [&](int signalNumber) {
        AgentLog::event(
            QStringLiteral("received %1; stopping")
                .arg(signalNumber == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM")));
        agent.shutdown();
        QTimer::singleShot(timings.shutdownFlushMs, &app, [] { QCoreApplication::exit(0); });
    });
    if (const int status = agent.start(); status != 0)
        return status;
    return app.exec();
}
