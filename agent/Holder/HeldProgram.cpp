#include "HeldProgram.h"

#include "Shared/SessionHolderProtocol.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace Protocol = SessionHolderProtocol;

namespace {

constexpr std::int64_t hangUpGraceMs = 2000;

} // namespace

HeldProgram::HeldProgram(pid_t pid, const std::string &folder)
    : m_pid(pid), m_record(folder + '/' + std::string(Protocol::endRecordName))
{
    m_recordFd = ::open((m_record + ".new").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (m_recordFd >= 0 && ::posix_fallocate(m_recordFd, 0, Protocol::maxProblemBytes + 64) != 0) {
        ::close(m_recordFd);
        m_recordFd = -1;
    }
}

HeldProgram::~HeldProgram()
{
    if (m_recordFd >= 0)
        ::close(m_recordFd);
}

void HeldProgram::end(int terminal, std::int64_t now)
{
    if (m_ended || m_killAt > 0)
        return;
    signal(SIGHUP, terminal);
    m_killAt = now + hangUpGraceMs;
}

void HeldProgram::fail(const std::string &problem, int terminal, std::int64_t now)
{
    if (m_problem.empty()) {
        // One line, for the record's second line and for a tablet's message.
        m_problem = problem.substr(0, Protocol::maxProblemBytes);
        for (char &character : m_problem) {
            if (static_cast<unsigned char>(character) < 0x20)
                character = ' ';
        }
    }
    end(terminal, now);
}

void HeldProgram::killIfDue(int terminal, std::int64_t now)
{
    if (m_killAt == 0 || now < m_killAt)
        return;
    m_killAt = 0;
    signal(SIGKILL, terminal);
}

void HeldProgram::signal(int signal, int terminal) const
{
    if (m_ended)
        return;
    // The program's own group, and the terminal's foreground group when a shell started a job there.
    ::kill(-m_pid, signal);
    const pid_t foreground = terminal >= 0 ? ::tcgetpgrp(terminal) : -1;
    if (foreground > 0 && foreground != m_pid)
        ::kill(-foreground, signal);
}

bool HeldProgram::reap()
{
    int status = 0;
    pid_t pid;
    while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
        if (pid != m_pid)
            continue;
        m_ended = true;
        m_killAt = 0;
        m_bySignal = WIFSIGNALED(status);
        m_value = static_cast<std::uint32_t>(m_bySignal ? WTERMSIG(status) : WEXITSTATUS(status));
    }
    return m_ended;
}

std::string HeldProgram::endedFrame() const
{
    return Protocol::ended(m_bySignal ? Protocol::EndKind::signal : Protocol::EndKind::exit, m_value,
                           m_problem);
}

bool HeldProgram::writeRecord()
{
    const std::string partial = m_record + ".new";
    std::string text = std::string(m_bySignal ? "signal " : "exit ") + std::to_string(m_value) + '\n';
    if (!m_problem.empty())
        text += m_problem + '\n';
    const int fd = m_recordFd >= 0 ? std::exchange(m_recordFd, -1)
                                   : ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
                         ::ftruncate(fd, static_cast<off_t>(text.size())) == 0;
    if (::close(fd) == 0 && written && std::rename(partial.c_str(), m_record.c_str()) == 0)
        return true;
    std::remove(partial.c_str());
    return false;
}

void HeldProgram::resize(int terminal, unsigned columns, unsigned rows)
{
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = static_cast<unsigned short>(rows);
    ::ioctl(terminal, TIOCSWINSZ, &size);
}
