#include "Sessions/TmuxCommands.h"

#include "Sessions/ExitMarker.h"

#include <QProcess>

namespace {

// Run by /bin/sh in the session: enters the folder, hides the agent's tmux server from the program, and keeps
// the program's exit status for the agent, in a file and in the terminal (see ExitMarker), which it then
// keeps open until the agent ends the session. The shell outlives an interrupt meant for the program, so that
// an interrupted program's status is kept too, owner-only (the program's own mask is left as it was). Every
// argument comes as a positional parameter: nothing from a tablet is ever part of a script or a tmux format.
const QString wrapperScript =
    QStringLiteral("status_file=$1; exit_format=$2; cd -- \"$3\" || exit 126; shift 3; unset TMUX TMUX_PANE; "
                   "trap : INT QUIT; "
                   "\"$@\"; status=$?; (umask 077 && printf '%s\\n' \"$status\" >\"$status_file.new\") && "
                   "mv -f \"$status_file.new\" \"$status_file\"; "
                   "printf \"$exit_format\" \"$status\"; trap - INT QUIT; exec sleep infinity");

const QString separator = QStringLiteral(";");

} // namespace

QStringList TmuxServer::newSessionArguments(const QString &id, const QString &folder,
                                            const SessionProgram &program, int columns, int rows,
                                            const QString &statusFile, const QString &exitMarker) const
{
    // The options apply to the whole server, again with every session: a server started by an earlier agent
    // gets them too. The pane's TERM comes from default-terminal, not from the environment.
    QStringList arguments{QStringLiteral("set-option"),
                          QStringLiteral("-g"),
                          QStringLiteral("default-terminal"),
                          QStringLiteral("xterm-256color"),
                          separator,
                          QStringLiteral("set-option"),
                          QStringLiteral("-g"),
                          QStringLiteral("status"),
                          QStringLiteral("off"),
                          separator,
                          QStringLiteral("new-session"),
                          QStringLiteral("-s"),
                          id,
                          QStringLiteral("-x"),
                          QString::number(columns),
                          QStringLiteral("-y"),
                          QString::number(rows),
                          QStringLiteral("--"),
                          QStringLiteral("/bin/sh"),
                          QStringLiteral("-c"),
                          wrapperScript,
                          QStringLiteral("ferrowyn-session"),
                          statusFile,
                          QString::fromLatin1(ExitMarker::printfFormat(exitMarker.toLatin1())),
                          folder,
                          program.path};
    return arguments + program.arguments;
}

QStringList TmuxServer::attachArguments(const QString &id) const
{
    const QString pane = QLatin1Char('=') + id + QLatin1Char(':');
    return {QStringLiteral("attach-session"),
            QStringLiteral("-t"),
            QLatin1Char('=') + id,
            separator,
            QStringLiteral("capture-pane"),
            QStringLiteral("-p"),
            QStringLiteral("-e"),
            QStringLiteral("-t"),
            pane,
            separator,
            QStringLiteral("display-message"),
            QStringLiteral("-p"),
            QStringLiteral("-t"),
            pane,
            QStringLiteral("#{cursor_x} #{cursor_y} #{alternate_on}")};
}

void TmuxServer::run(const QStringList &arguments, QObject *context,
                     std::function<void(int status, const QByteArray &output)> done) const
{
    auto *process = new QProcess(context);
    process->setProcessEnvironment(environment);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, context,
                     [process, done](int status, QProcess::ExitStatus how) {
                         done(how == QProcess::NormalExit ? status : -1, process->readAllStandardOutput());
                         process->deleteLater();
                     });
    QObject::connect(process, &QProcess::errorOccurred, context,
                     [process, done](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return;
                         done(-1, {});
                         process->deleteLater();
                     });
    process->start(tmux, QStringList{QStringLiteral("-S"), socket} + arguments);
}

QList<QByteArray> inputCommands(const QByteArray &bytes, const QByteArray &buffer)
{
    QList<QByteArray> commands;
    const QList<QByteArray> runs = bytes.split('\0');
    for (qsizetype index = 0; index < runs.size(); ++index) {
        const QByteArray &run = runs.at(index);
        if (index > 0)
            commands.append("send-keys -H 00");
        if (run.isEmpty())
            continue;
        // Double quotes with every byte that tmux's parser or a line would act on written in octal; a
        // buffer's text is never expanded as a format.
        QByteArray command = "set-buffer -b " + buffer + " \"";
        command.reserve(command.size() + run.size() * 4 + 2);
        for (const char byte : run) {
            const auto value = static_cast<unsigned char>(byte);
            if (value < 0x20 || value >= 0x7f || byte == '\\' || byte == '"' || byte == '$') {
                const char octal[] = {'\\', static_cast<char>('0' + (value >> 6)),
                                      static_cast<char>('0' + ((value >> 3) & 7)),
                                      static_cast<char>('0' + (value & 7))};
                command.append(octal, 4);
            } else {
                command.append(byte);
            }
        }
        command.append('"');
        commands.append(command);
        // -r: line feeds stay line feeds; -d: the buffer goes with the paste.
        commands.append("paste-buffer -d -r -b " + buffer);
    }
    return commands;
}

QByteArray repaintFromCapture(const QList<QByteArray> &rows, const QByteArray &cursorLine)
{
    const QList<QByteArray> cursor = cursorLine.split(' ');
    const int x = cursor.value(0).toInt(), y = cursor.value(1).toInt();
    QByteArray bytes = cursor.value(2) == "1" ? "\x1b[?1049h" : "\x1b[?1049l";
    bytes += "\x1b[0m\x1b[H\x1b[2J";
    for (qsizetype row = 0; row < rows.size(); ++row) {
        if (row > 0)
            bytes += "\x1b[0m\r\n";
        bytes += rows.at(row);
    }
    bytes += "\x1b[0m\x1b[" + QByteArray::number(y + 1) + ';' + QByteArray::number(x + 1) + 'H';
    return bytes;
}
