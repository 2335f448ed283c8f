#include "Sessions/HolderConnection.h"

#include "Shared/SessionHolderProtocol.h"

#include <limits>

namespace Protocol = SessionHolderProtocol;

HolderConnection::HolderConnection(QObject *parent) : QObject(parent)
{
    connect(&m_socket, &QLocalSocket::readyRead, this, &HolderConnection::readFrames);
    connect(&m_socket, &QLocalSocket::disconnected, this, [this] {
        if (!m_ended)
            emit lost(QStringLiteral("the session's holder went away"));
        m_ended = true;
    });
    connect(&m_socket, &QLocalSocket::errorOccurred, this, [this](QLocalSocket::LocalSocketError error) {
        if (error == QLocalSocket::PeerClosedError || m_ended)
            return;
        m_ended = true;
        emit lost(m_socket.errorString());
    });
}

void HolderConnection::connectTo(const QString &socket, qint64 from, int columns, int rows)
{
    m_socket.connectToServer(socket);
    send(Protocol::hello(static_cast<std::uint64_t>(from), static_cast<std::uint16_t>(columns),
                         static_cast<std::uint16_t>(rows)));
}

void HolderConnection::endAndForget(const QString &socket, QObject *context)
{
    auto *connection = new HolderConnection(context);
    connect(connection, &HolderConnection::ended, connection, &QObject::deleteLater);
    connect(connection, &HolderConnection::lost, connection, &QObject::deleteLater);
    connection->connectTo(socket, std::numeric_limits<qint64>::max(), 0, 0);
    connection->holdNothing();
    connection->end();
}

void HolderConnection::close()
{
    m_ended = true;
    m_socket.abort();
}

void HolderConnection::send(const std::string &frame)
{
    if (!m_ended)
        m_socket.write(frame.data(), static_cast<qint64>(frame.size()));
}

void HolderConnection::input(const QByteArray &bytes)
{
    // A keystroke message fits one frame; longer input goes in several.
    constexpr qsizetype chunk = 64 * 1024;
    for (qsizetype at = 0; at < bytes.size(); at += chunk) {
        const QByteArrayView part = QByteArrayView(bytes).sliced(at, std::min(chunk, bytes.size() - at));
        send(Protocol::frame(Protocol::Type::input, {}, std::string_view(part.data(), size_t(part.size()))));
    }
}

void HolderConnection::resize(int columns, int rows)
{
    send(Protocol::resize(static_cast<std::uint16_t>(columns), static_cast<std::uint16_t>(rows)));
}

void HolderConnection::acknowledge(qint64 offset)
{
    send(Protocol::ack(static_cast<std::uint64_t>(offset)));
}

void HolderConnection::holdNothing()
{
    send(Protocol::frame(Protocol::Type::idle, {}));
}

void HolderConnection::end()
{
    send(Protocol::frame(Protocol::Type::end, {}));
}

void HolderConnection::readFrames()
{
    m_received.append(m_socket.readAll());
    qsizetype taken = 0;
    // Consecutive output goes on as one piece.
    QByteArray gathered;
    qint64 gatheredAt = 0;
    const auto flush = [&] {
        if (!gathered.isEmpty())
            emit output(gatheredAt, std::exchange(gathered, {}));
    };
    for (;;) {
        bool malformed = false;
        const auto frame = Protocol::nextFrame(
            std::string_view(m_received.constData() + taken, size_t(m_received.size() - taken)), malformed);
        if (!frame || frame->body.size() < Protocol::fieldBytes(frame->type)) {
            if (malformed || frame) {
                close();
                emit lost(QStringLiteral("the session's holder sent a malformed frame"));
                return;
            }
            break;
        }
        taken += static_cast<qsizetype>(frame->size);
        const char *fields = frame->body.data();
        const auto number = [fields](int at) {
            return static_cast<qint64>(Protocol::getUnsigned(fields + at, 8));
        };
        if (frame->type == Protocol::Type::output) {
            if (gathered.isEmpty())
                gatheredAt = number(0);
            gathered.append(fields + 8, qsizetype(frame->body.size() - 8));
            continue;
        }
        flush();
        if (m_ended)
            return;
        switch (frame->type) {
        case Protocol::Type::attached:
            emit attached(number(0), number(8));
            break;
        case Protocol::Type::dropped:
            emit dropped(number(0), number(8));
            break;
        case Protocol::Type::ended:
            m_ended = true;
            emit ended(static_cast<unsigned char>(fields[0]) ==
                           static_cast<unsigned char>(Protocol::EndKind::signal),
                       static_cast<int>(Protocol::getUnsigned(fields + 1, 4)),
                       QString::fromUtf8(fields + 5, qsizetype(frame->body.size() - 5)));
            return;
        case Protocol::Type::resized:
            emit resized(static_cast<int>(Protocol::getUnsigned(fields, 2)),
                         static_cast<int>(Protocol::getUnsigned(fields + 2, 2)));
            break;
        default:
            break;
        }
        if (m_ended)
            return;
    }
    flush();
    m_received.remove(0, taken);
}
