#include "SessionHolder.h"

#include "MonotonicClock.h"
#include "Shared/SessionHolderProtocol.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace Protocol = SessionHolderProtocol;

namespace {

// What one wake-up takes from the terminal and gives one reader at most, so that every reader and keystrokes
// get their turn during a flood.
constexpr std::size_t blockBytes = 64 * 1024;
constexpr std::size_t outputBytes = Protocol::maxFrameBytes - Protocol::headerBytes - 8 - 24;
// Keystrokes the program has not taken yet, past which the holder stops reading its readers (who then see
// their own writes wait).
constexpr std::size_t pendingInputBytes = 1024 * 1024;
// After the program ended: how long the rest of its output may take (a child of it may hold the terminal),
// and how long readers have to take the end.
constexpr std::int64_t drainMs = 1000;
constexpr std::int64_t leaveMs = 5000;

} // namespace

SessionHolder::SessionHolder(std::string folder, std::string socketPath, int master, pid_t program,
                             int listener, int signals, unsigned columns, unsigned rows)
    : m_folder(std::move(folder)), m_socketPath(std::move(socketPath)), m_master(master),
      m_program(program, m_folder), m_listener(listener), m_signals(signals), m_spool(m_folder),
      m_columns(columns), m_rows(rows)
{}

int SessionHolder::run()
{
    std::vector<pollfd> fds;
    while (!(m_finished && m_readers.empty())) {
        fds.clear();
        fds.push_back({m_signals, POLLIN, 0});
        fds.push_back({m_listener, POLLIN, 0});
        short terminalEvents = 0;
        if (mayReadTerminal())
            terminalEvents |= POLLIN;
        if (!m_pendingInput.empty())
            terminalEvents |= POLLOUT;
        // A terminal whose other side closed reports it whatever is asked: it is left out until it may be
        // read.
        fds.push_back({terminalEvents != 0 ? m_master : -1, terminalEvents, 0});
        for (const Reader &reader : m_readers) {
            short events = m_pendingInput.size() < pendingInputBytes ? POLLIN : 0;
            if (!reader.out.empty() || (reader.greeted && (reader.sizeToTell || reader.sent < m_spool.end() ||
                                                           (m_finished && !reader.told))))
                events |= POLLOUT;
            fds.push_back({reader.fd, events, 0});
        }
        int timeout = -1;
        for (const std::int64_t deadline : {m_program.killAt(), m_drainUntil, m_leaveAt}) {
            if (deadline > 0) {
                const int left = static_cast<int>(std::max<std::int64_t>(deadline - monotonicMs(), 0));
                timeout = timeout < 0 ? left : std::min(timeout, left);
            }
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            return 1;
        const std::int64_t now = monotonicMs();
        m_program.killIfDue(m_master, now);
        if (m_leaveAt > 0 && now >= m_leaveAt)
            return 0;
        if (fds[0].revents & POLLIN)
            onSignals();
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR))
            readTerminal();
        if (m_master >= 0 && (fds[2].revents & POLLOUT))
            writeInput();
        if (m_drainUntil > 0 && now >= m_drainUntil)
            closeTerminal();
        for (std::size_t index = 0; index < m_readers.size(); ++index) {
            const short revents = fds[3 + index].revents;
            if (m_readers[index].fd >= 0 && (revents & (POLLIN | POLLHUP | POLLERR)))
                readFrom(m_readers[index]);
            if (m_readers[index].fd >= 0 && (revents & POLLOUT))
                feed(m_readers[index]);
        }
        for (std::size_t index = m_readers.size(); index > 0; --index) {
            if (m_readers[index - 1].fd < 0)
                drop(index - 1);
        }
        if (m_listener >= 0 && (fds[1].revents & POLLIN))
            accept();
        if (m_program.hasEnded() && m_master < 0 && !m_finished)
            finish();
    }
    return 0;
}

bool SessionHolder::mayReadTerminal() const
{
    if (m_master < 0)
        return false;
    if (m_program.hasEnded() || m_program.isEnding())
        return true;
    return std::all_of(m_readers.begin(), m_readers.end(), [this](const Reader &reader) {
        return !reader.greeted || reader.idle || m_spool.end() - reader.acknowledged < Protocol::window;
    });
}

void SessionHolder::readTerminal()
{
    // A terminal gives a few kilobytes a read: what is there is gathered, so readers get fewer, larger
    // frames.
    char block[blockBytes];
    std::size_t gathered = 0;
    bool closed = false;
    while (gathered < sizeof block) {
        const ssize_t got = ::read(m_master, block + gathered, sizeof block - gathered);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            break;
        // EIO: nothing holds the terminal's other side any more.
        closed = got <= 0;
        if (closed)
            break;
        gathered += static_cast<std::size_t>(got);
    }
    std::string error;
    if (gathered > 0 && !m_spool.append(block, gathered, error))
        m_program.fail(error, m_master, monotonicMs());
    if (closed)
        closeTerminal();
    for (Reader &reader : m_readers)
        feed(reader);
}

void SessionHolder::writeInput()
{
    while (!m_pendingInput.empty()) {
        const ssize_t written = ::write(m_master, m_pendingInput.data(), m_pendingInput.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN)
            return;
        if (written <= 0) {
            m_pendingInput.clear();
            return;
        }
        m_pendingInput.erase(0, static_cast<std::size_t>(written));
    }
}

void SessionHolder::accept()
{
    const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::getuid() ||
        m_readers.size() >= static_cast<std::size_t>(Protocol::maxReaders)) {
        ::close(fd);
        return;
    }
    Reader reader;
    reader.fd = fd;
    m_readers.push_back(std::move(reader));
}

void SessionHolder::readFrom(Reader &reader)
{
    char block[Protocol::maxFrameBytes];
    const ssize_t got = ::recv(reader.fd, block, sizeof block, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (got <= 0) {
        ::close(reader.fd);
        reader.fd = -1;
        return;
    }
    reader.in.append(block, static_cast<std::size_t>(got));
    std::size_t taken = 0;
    for (;;) {
        bool malformed = false;
        const auto frame = Protocol::nextFrame(std::string_view(reader.in).substr(taken), malformed);
        if (!frame) {
            if (malformed) {
                ::close(reader.fd);
                reader.fd = -1;
                return;
            }
            break;
        }
        taken += frame->size;
        if (frame->body.size() < Protocol::fieldBytes(frame->type) ||
            !handle(reader, static_cast<unsigned char>(frame->type), std::string(frame->body))) {
            ::close(reader.fd);
            reader.fd = -1;
            return;
        }
    }
    reader.in.erase(0, taken);
}

bool SessionHolder::handle(Reader &reader, unsigned char type, const std::string &body)
{
    const char *fields = body.data();
    if (static_cast<Protocol::Type>(type) == Protocol::Type::hello) {
        if (reader.greeted)
            return false;
        const std::uint64_t from = Protocol::getUnsigned(fields, 8);
        reader.greeted = true;
        reader.idle = false;
        reader.sent = std::clamp(from, m_spool.start(), m_spool.end());
        reader.acknowledged = reader.sent;
        reader.columns = static_cast<unsigned>(Protocol::getUnsigned(fields + 8, 2));
        reader.rows = static_cast<unsigned>(Protocol::getUnsigned(fields + 10, 2));
        reader.out += Protocol::attachedOrDropped(Protocol::Type::attached, reader.sent,
                                                  m_spool.start() > from ? m_spool.start() - from : 0);
        if (reader.columns > 0 && reader.rows > 0)
            makeActive(reader);
        feed(reader);
        return true;
    }
    if (!reader.greeted)
        return false;
    switch (static_cast<Protocol::Type>(type)) {
    case Protocol::Type::input:
        makeActive(reader);
        if (m_master >= 0) {
            m_pendingInput += body;
            writeInput();
        }
        return true;
    case Protocol::Type::resize:
        reader.columns = static_cast<unsigned>(Protocol::getUnsigned(fields, 2));
        reader.rows = static_cast<unsigned>(Protocol::getUnsigned(fields + 2, 2));
        makeActive(reader);
        return true;
    case Protocol::Type::ack:
        reader.idle = false;
        reader.acknowledged = std::min(Protocol::getUnsigned(fields, 8), reader.sent);
        return true;
    case Protocol::Type::idle:
        reader.idle = true;
        return true;
    case Protocol::Type::end:
        m_program.end(m_master, monotonicMs());
        return true;
    case Protocol::Type::signal: {
        const int signal = static_cast<unsigned char>(fields[0]);
        if (signal >= 1 && signal < NSIG)
            m_program.signal(signal, m_master);
        return true;
    }
    default:
        return false;
    }
}

void SessionHolder::feed(Reader &reader)
{
    if (reader.fd < 0 || !reader.greeted || reader.shut)
        return;
    if (std::exchange(reader.sizeToTell, false)) // sizes came as u16 fields
        reader.out += Protocol::resized(std::uint16_t(m_columns), std::uint16_t(m_rows));
    for (std::size_t given = 0; given < blockBytes * 4;) {
        if (!reader.out.empty() && !flush(reader))
            return;
        if (reader.sent < m_spool.start()) {
            reader.out += Protocol::attachedOrDropped(Protocol::Type::dropped, m_spool.start(),
                                                      m_spool.start() - reader.sent);
            reader.sent = m_spool.start();
            reader.acknowledged = std::max(reader.acknowledged, reader.sent);
        } else if (reader.sent < m_spool.end()) {
            // Read into the frame itself: the output is copied once on its way from the file to the socket.
            const std::size_t frameAt = reader.out.size();
            reader.out += Protocol::frame(Protocol::Type::output, Protocol::offsetField(reader.sent));
            const std::size_t bytesAt = reader.out.size();
            if (!m_spool.read(reader.sent, outputBytes, reader.out) || reader.out.size() == bytesAt) {
                reader.out.resize(frameAt);
                return;
            }
            Protocol::setFrameLength(reader.out, frameAt);
            reader.sent += reader.out.size() - bytesAt;
            given += reader.out.size() - bytesAt;
        } else if (m_finished && !reader.told) {
            reader.out += m_program.endedFrame();
            reader.told = true;
        } else {
            break;
        }
    }
    if (!reader.out.empty())
        flush(reader);
    if (reader.told && reader.out.empty() && !reader.shut) {
        // Only this side: the reader, still writing (an acknowledgement, a keystroke), reads the end first
        // and then closes; it is let go when it does, or when the holder leaves.
        ::shutdown(reader.fd, SHUT_WR);
        reader.shut = true;
    }
}

bool SessionHolder::flush(Reader &reader)
{
    while (!reader.out.empty()) {
        const ssize_t sent =
            ::send(reader.fd, reader.out.data(), reader.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && errno == EAGAIN)
            return false;
        if (sent <= 0) {
            ::close(reader.fd);
            reader.fd = -1;
            return false;
        }
        reader.out.erase(0, static_cast<std::size_t>(sent));
    }
    return true;
}

void SessionHolder::drop(std::size_t index)
{
    if (m_readers[index].fd >= 0)
        ::close(m_readers[index].fd);
    m_readers.erase(m_readers.begin() + static_cast<std::ptrdiff_t>(index));
    applySize();
}

void SessionHolder::makeActive(Reader &reader)
{
    reader.activeAt = ++m_activity;
    applySize();
}

void SessionHolder::applySize()
{
    const Reader *active = nullptr;
    for (const Reader &reader : m_readers) {
        if (reader.fd >= 0 && reader.columns > 0 && reader.rows > 0 &&
            (!active || reader.activeAt > active->activeAt))
            active = &reader;
    }
    if (!active || (active->columns == m_columns && active->rows == m_rows) || m_master < 0)
        return;
    m_columns = active->columns;
    m_rows = active->rows;
    HeldProgram::resize(m_master, m_columns, m_rows);
    for (Reader &reader : m_readers)
        reader.sizeToTell = true;
}

void SessionHolder::onSignals()
{
    signalfd_siginfo info{};
    bool child = false;
    while (::read(m_signals, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGCHLD)
            child = true;
        else
            m_program.end(m_master, monotonicMs());
    }
    // The rest of its output may take a moment: a child of it may hold the terminal.
    if (child && m_program.reap() && m_master >= 0 && m_drainUntil == 0)
        m_drainUntil = monotonicMs() + drainMs;
}

void SessionHolder::closeTerminal()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
    m_drainUntil = 0;
    m_pendingInput.clear();
}

void SessionHolder::finish()
{
    // The record first: an agent that finds the socket gone reads how the program ended.
    if (!m_program.writeRecord())
        m_program.fail("cannot write how the program ended in " + m_folder, -1, 0);
    ::unlink(m_socketPath.c_str());
    ::close(m_listener);
    m_listener = -1;
    m_finished = true;
    m_leaveAt = monotonicMs() + leaveMs;
    for (Reader &reader : m_readers)
        feed(reader);
    for (std::size_t index = m_readers.size(); index > 0; --index) {
        if (m_readers[index - 1].fd < 0)
            drop(index - 1);
    }
}
