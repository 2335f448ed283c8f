#include "App/Headless/ConsoleOutput.h"

#include <QString>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <poll.h>
#include <thread>

struct ConsoleOutput::Shared {
    int fd = STDOUT_FILENO;
    qsizetype limit = 0;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finished;
    std::deque<QByteArray> backlog;
    qsizetype backlogBytes = 0;
    qint64 dropped = 0; // lines dropped since the last report of them
    bool ending = false;
    bool done = false;
    bool closed = false; // the reader is gone for good: nothing more is written

    // What to write next, with the lock held; empty when the thread is to end.
    QByteArray next()
    {
        if (!backlog.empty()) {
            QByteArray text = std::move(backlog.front());
            backlog.pop_front();
            backlogBytes -= text.size();
            return text;
        }
        // Lines dropped last, with nothing after them yet: their count is all there is to say.
        return dropped > 0 ? droppedLine(std::exchange(dropped, 0)) : QByteArray();
    }

    bool writeAll(const QByteArray &text) const
    {
        qsizetype written = 0;
        while (written < text.size()) {
            const ssize_t n =
                ::write(fd, text.constData() + written, static_cast<size_t>(text.size() - written));
            if (n < 0 && errno == EINTR)
                continue;
            // Another program may have made the descriptor they share with us non-blocking: wait here,
            // where waiting is the point.
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd ready{fd, POLLOUT, 0};
                if (::poll(&ready, 1, -1) >= 0 || errno == EINTR)
                    continue;
            }
            if (n <= 0)
                return false;
            written += n;
        }
        return true;
    }

    void run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return !backlog.empty() || dropped > 0 || ending; });
            const QByteArray text = next();
            if (text.isEmpty())
                break;
            lock.unlock();
            const bool written = writeAll(text);
            lock.lock();
            if (!written) {
                closed = true;
                backlog.clear();
                backlogBytes = 0;
                break;
            }
        }
        done = true;
        finished.notify_all();
    }
};

ConsoleOutput::ConsoleOutput(int fd, Limits limits) : m_shared(std::make_shared<Shared>())
{
    m_shared->fd = fd;
    m_shared->limit = limits.backlogBytes;
    m_drainAtEnd = limits.drainAtEnd;
    // The thread holds the state too: one still blocked in a write when this object ends must not outlive
    // what it reads.
    std::thread([shared = m_shared] { shared->run(); }).detach();
}

ConsoleOutput::~ConsoleOutput()
{
    std::unique_lock lock(m_shared->mutex);
    m_shared->ending = true;
    m_shared->wake.notify_all();
    // A reader that stopped keeps the rest: the process ends anyway, and nothing waits longer than this.
    m_shared->finished.wait_for(lock, m_drainAtEnd, [this] { return m_shared->done; });
}

void ConsoleOutput::write(const QByteArray &lines)
{
    const std::lock_guard lock(m_shared->mutex);
    Shared &shared = *m_shared;
    if (shared.closed || shared.ending)
        return;
    if (shared.backlogBytes + lines.size() > shared.limit) {
        shared.dropped += std::max<qsizetype>(1, lines.count('\n'));
        return;
    }
    // The count goes where the dropped lines were: before the first line that fits again.
    if (shared.dropped > 0) {
        const QByteArray count = droppedLine(std::exchange(shared.dropped, 0));
        shared.backlog.push_back(count);
        shared.backlogBytes += count.size();
    }
    shared.backlog.push_back(lines);
    shared.backlogBytes += lines.size();
    shared.wake.notify_one();
}

QByteArray ConsoleOutput::droppedLine(qint64 count)
{
    return QStringLiteral("\u2026 %1 lines not shown\n").arg(count).toUtf8();
}
