#include "Services/Sessions/SessionHolder.h"

#include "Services/Sessions/SessionsState.h"
#include "Shared/SessionFiles.h"
#include "Shared/SessionHolderProtocol.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <limits>
#include <memory>
#include <utility>

namespace {

// Longer than the holder's grace between the hang-up and the kill, so a holder that answers is seen to go.
constexpr std::chrono::milliseconds holderEndWait{5000};

// A reader that asks for no output (from the stream's end on, keeping the program's size), holds nothing
// back, and asks for the end.
QByteArray endRequest()
{
    namespace Protocol = SessionHolderProtocol;
    const std::string frames = Protocol::hello(std::numeric_limits<std::uint64_t>::max(), 0, 0) +
                               Protocol::frame(Protocol::Type::idle, {}) +
                               Protocol::frame(Protocol::Type::end, {});
    return QByteArray(frames.data(), qsizetype(frames.size()));
}

// A folder with no holder to answer and no record of an end is what is left of a session whose holder was
// killed: nothing will ever end it, so it goes rather than being listed as running.
void removeIfLeftOver(const QString &runtimeFolder, const QString &id, bool holderAnswered)
{
    if (!holderAnswered && !SessionsState::ended(runtimeFolder, id))
        QDir(SessionFiles::sessionFolder(runtimeFolder, id)).removeRecursively();
}

// Connects `socket` to the session's holder and asks for the end; the caller has connected what follows.
void askToEnd(QLocalSocket *socket, const QString &runtimeFolder, const QString &id)
{
    // What the program prints while it ends is the holder's to keep, not the host's.
    QObject::connect(socket, &QLocalSocket::readyRead, socket,
                     [socket] { socket->skip(socket->bytesAvailable()); });
    QObject::connect(socket, &QLocalSocket::connected, socket, [socket] { socket->write(endRequest()); });
    socket->connectToServer(SessionFiles::holderSocket(SessionFiles::sessionFolder(runtimeFolder, id)));
}

} // namespace

void SessionHolder::end(const QString &runtimeFolder, const QString &id, QObject *context,
                        std::function<void()> done)
{
    auto *socket = new QLocalSocket(context);
    const auto finished = std::make_shared<bool>(false);
    const auto answered = std::make_shared<bool>(false);
    QObject::connect(socket, &QLocalSocket::connected, socket, [answered] { *answered = true; });
    // Once, whichever comes first: the holder closing, no holder to connect to, or the wait running out.
    const auto finish = [socket, finished, answered, runtimeFolder, id, context = QPointer(context), done] {
        if (std::exchange(*finished, true))
            return;
        removeIfLeftOver(runtimeFolder, id, *answered);
        socket->deleteLater();
        if (context && done)
            done();
    };
    QObject::connect(socket, &QLocalSocket::disconnected, socket, finish);
    QObject::connect(socket, &QLocalSocket::errorOccurred, socket, finish);
    QTimer::singleShot(holderEndWait, socket, finish);
    askToEnd(socket, runtimeFolder, id);
}

void SessionHolder::endAndWait(const QString &runtimeFolder, const QStringList &ids,
                               std::chrono::milliseconds timeout)
{
    for (const QString &id : ids) {
        QLocalSocket socket;
        askToEnd(&socket, runtimeFolder, id);
        removeIfLeftOver(runtimeFolder, id, socket.state() != QLocalSocket::UnconnectedState);
        const QDeadlineTimer deadline(timeout);
        while (socket.state() != QLocalSocket::UnconnectedState && !deadline.hasExpired())
            socket.waitForReadyRead(int(deadline.remainingTime()));
    }
}
