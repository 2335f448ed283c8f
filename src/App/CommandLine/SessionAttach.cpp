#include "App/CommandLine/SessionAttach.h"

#include "App/CommandLine/AttachedTerminal.h"
#include "Shared/SessionFiles.h"
#include "Shared/SessionHolderProtocol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace {

namespace Protocol = SessionHolderProtocol;

constexpr std::array leavingSignals{SIGTERM, SIGINT, SIGHUP, SIGQUIT};
int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// The terminal in raw mode while this lives: every key goes to the program, Ctrl-C included.
class RawTerminal {
public:
    bool enter()
    {
        if (::tcgetattr(STDIN_FILENO, &m_saved) != 0)
            return false;
        termios raw = m_saved;
        ::cfmakeraw(&raw);
        m_raw = ::tcsetattr(STDIN_FILENO, TCSADRAIN, &raw) == 0;
        return m_raw;
    }
    void restore()
    {
        if (!std::exchange(m_raw, false))
            return;
        writeAll(STDOUT_FILENO, std::string_view(AttachedTerminal::modesReset.constData(),
                                                 std::size_t(AttachedTerminal::modesReset.size())));
        ::tcsetattr(STDIN_FILENO, TCSADRAIN, &m_saved);
    }
    ~RawTerminal() { restore(); }

private:
    termios m_saved{};
    bool m_raw = false;
};

std::optional<winsize> terminalSize()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return std::nullopt;
    return size;
}

// The end of the stream as the holder's files hold it: the newest file's offset and length.
std::uint64_t keptEnd(const QString &sessionFolder)
{
    const QString prefix =
        QString::fromLatin1(Protocol::spoolPrefix.data(), qsizetype(Protocol::spoolPrefix.size()));
    std::uint64_t end = 0;
    for (const QFileInfo &file :
         QDir(sessionFolder).entryInfoList({prefix + QLatin1Char('*')}, QDir::Files)) {
        bool number = false;
        const std::uint64_t offset = file.fileName().mid(prefix.size()).toULongLong(&number);
        if (number)
            end = std::max(end, offset + std::uint64_t(file.size()));
    }
    return end;
}

int connectTo(const QString &socketPath)
{
    const QByteArray path = QFile::encodeName(socketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::size_t(path.size()) >= sizeof(address.sun_path))
        return -1;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ucred peer{};
    socklen_t peerSize = sizeof(peer);
    // Keystrokes go only to a holder of this user's, and only such a holder draws on this terminal.
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0 || peer.uid != ::getuid()) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

// A holder with all its readers closes a new one at once.
QString turnedAway()
{
    return QStringLiteral("The session's holder turned this terminal away: it takes %1 readers at most, the "
                          "agent and terminals like this one.")
        .arg(Protocol::maxReaders);
}

void say(std::FILE *to, const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), to);
}

// One attachment: the holder's frames to the terminal, the terminal's keys and size to the holder.
class Attachment {
public:
    Attachment(int holder, std::uint64_t replayEnd, bool skipping)
        : m_holder(holder), m_replayEnd(replayEnd), m_skipping(skipping)
    {}

    enum class Outcome { goOn, detached, ended, holderGone };

    bool send(const std::string &frame) { return writeAll(m_holder, frame); }

    bool sendSize()
    {
        const std::optional<winsize> size = terminalSize();
        return !size || send(Protocol::resize(size->ws_col, size->ws_row));
    }

    Outcome fromTerminal()
    {
        std::array<char, 4096> typed{};
        const ssize_t count = ::read(STDIN_FILENO, typed.data(), typed.size());
        if (count < 0 && errno == EINTR)
            return Outcome::goOn;
        // A terminal that closed leaves the session as the detach key does.
        if (count <= 0)
            return Outcome::detached;
        QByteArrayView keys(typed.data(), count);
        const std::optional<qsizetype> detach = AttachedTerminal::detachKeyAt(keys);
        if (detach)
            keys = keys.first(*detach);
        // Like an acknowledgement, keys sent to a holder that has just closed leave its last frames to be
        // read.
        if (!keys.isEmpty())
            send(Protocol::frame(Protocol::Type::input, {},
                                 std::string_view(keys.data(), std::size_t(keys.size()))));
        return detach ? Outcome::detached : Outcome::goOn;
    }

    Outcome fromHolder()
    {
        std::array<char, 65536> chunk{};
        const ssize_t count = ::read(m_holder, chunk.data(), chunk.size());
        if (count < 0 && errno == EINTR)
            return Outcome::goOn;
        if (count <= 0)
            return Outcome::holderGone;
        m_received.append(chunk.data(), std::size_t(count));
        std::size_t taken = 0;
        Outcome outcome = Outcome::goOn;
        bool malformed = false;
        while (outcome == Outcome::goOn) {
            const std::optional<Protocol::Frame> frame =
                Protocol::nextFrame(std::string_view(m_received).substr(taken), malformed);
            if (!frame)
                break;
            taken += frame->size;
            outcome = take(*frame);
        }
        m_received.erase(0, taken);
        return malformed ? Outcome::holderGone : outcome;
    }

    QString ending() const { return m_ending; }
    // Whether the holder took this terminal on.
    bool attached() const { return m_attached; }

private:
    Outcome take(const Protocol::Frame &frame)
    {
        if (frame.body.size() < Protocol::fieldBytes(frame.type))
            return Outcome::holderGone;
        switch (frame.type) {
        case Protocol::Type::output: {
            const std::uint64_t offset = Protocol::getUnsigned(frame.body.data(), 8);
            const QByteArrayView bytes(frame.body.data() + 8, qsizetype(frame.body.size() - 8));
            m_skipping = m_skipping && offset < m_replayEnd;
            const QByteArrayView shown = AttachedTerminal::shownOfTail(bytes, m_skipping);
            if (!writeAll(STDOUT_FILENO, std::string_view(shown.data(), std::size_t(shown.size()))))
                return Outcome::detached;
            // A holder that closed after the program's end still has its `ended` frame to be read here.
            send(Protocol::ack(offset + std::uint64_t(bytes.size())));
            return Outcome::goOn;
        }
        case Protocol::Type::ended: {
            const auto value = static_cast<std::uint32_t>(Protocol::getUnsigned(frame.body.data() + 1, 4));
            m_ending = static_cast<Protocol::EndKind>(frame.body[0]) == Protocol::EndKind::signal
                           ? QStringLiteral("The program ended by signal %1.").arg(value)
                           : QStringLiteral("The program ended with exit status %1.").arg(value);
            // The holder's problem that ended it, as a line of text.
            if (frame.body.size() > 5)
                m_ending += QStringLiteral(" The session's holder ended it: %1.")
                                .arg(QString::fromUtf8(frame.body.substr(5)));
            return Outcome::ended;
        }
        case Protocol::Type::attached:
            m_attached = true;
            return Outcome::goOn;
        default:
            // `dropped`: the stream goes on where the output frames say.
            return Outcome::goOn;
        }
    }

    int m_holder;
    std::uint64_t m_replayEnd;
    bool m_skipping;
    std::string m_received;
    QString m_ending;
    bool m_attached = false;
};

} // namespace

int SessionAttach::run(const QString &sessionFolder, const QString &id, std::FILE *err)
{
    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
        say(err, QStringLiteral("--attach needs a terminal"));
        return 2;
    }
    const int holder = connectTo(SessionFiles::holderSocket(sessionFolder));
    if (holder < 0) {
        say(err, QStringLiteral("No coding session with the id \"%1\" runs (see --sessions)").arg(id));
        return 1;
    }
    // A holder that goes away answers a write with an error, not with the end of this process.
    std::signal(SIGPIPE, SIG_IGN);
    const std::uint64_t end = keptEnd(sessionFolder);
    const std::uint64_t from =
        end > AttachedTerminal::replayedBytes ? end - AttachedTerminal::replayedBytes : 0;
    Attachment attachment(holder, end, from > 0);
    // Attached first at a size one row off, then at the terminal's own: the program sees its size change even
    // when it had this one, and draws its whole screen after the replayed tail. A terminal that knows no size
    // leaves the program's as it is.
    const std::optional<winsize> size = terminalSize();
    const auto columns = static_cast<std::uint16_t>(size ? size->ws_col : 0);
    const auto nudged = static_cast<std::uint16_t>(!size ? 0 : size->ws_row > 1 ? size->ws_row - 1 : 2);
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0 ||
        !attachment.send(Protocol::hello(from, columns, nudged)) || !attachment.sendSize()) {
        ::close(holder);
        say(err, turnedAway());
        return 1;
    }
    for (const int number : leavingSignals)
        std::signal(number, onSignal);
    std::signal(SIGWINCH, onSignal);
    say(err,
        QStringLiteral("Attached to %1; %2 leaves it running.").arg(id, AttachedTerminal::detachKeyName));

    Attachment::Outcome outcome = Attachment::Outcome::goOn;
    int leavingSignal = 0;
    {
        RawTerminal raw;
        if (!raw.enter()) {
            ::close(holder);
            say(err, QStringLiteral("Cannot put the terminal in raw mode: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(errno))));
            return 1;
        }
        std::array<pollfd, 3> watched{pollfd{STDIN_FILENO, POLLIN, 0}, pollfd{holder, POLLIN, 0},
                                      pollfd{signalPipe[0], POLLIN, 0}};
        while (outcome == Attachment::Outcome::goOn && leavingSignal == 0) {
            if (::poll(watched.data(), watched.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                outcome = Attachment::Outcome::holderGone;
                break;
            }
            if (watched[2].revents != 0) {
                unsigned char number = 0;
                while (::read(signalPipe[0], &number, 1) == 1)
                    if (number == SIGWINCH)
                        attachment.sendSize();
                    else
                        leavingSignal = number;
            }
            if (watched[1].revents != 0)
                outcome = attachment.fromHolder();
            if (outcome == Attachment::Outcome::goOn && watched[0].revents != 0)
                outcome = attachment.fromTerminal();
        }
        ::close(holder);
    }
    if (leavingSignal != 0) {
        std::signal(leavingSignal, SIG_DFL);
        std::raise(leavingSignal);
    }
    switch (outcome) {
    case Attachment::Outcome::ended:
        say(err, attachment.ending());
        return 0;
    case Attachment::Outcome::holderGone:
        say(err, attachment.attached()
                     ? QStringLiteral("The session's holder went away: the session has ended.")
                     : turnedAway());
        return 1;
    default:
        say(err, QStringLiteral("Detached; %1 runs on (ferrowyn-host --attach %1 continues it).").arg(id));
        return 0;
    }
}
