// ferrowyn-session: holds one coding session (see SessionHolder and agent/PROTOCOL.md, "Session holder").
//
//     ferrowyn-session --folder SESSION_FOLDER --cwd WORKING_FOLDER --size COLUMNSxROWS -- PROGRAM
//     [ARGUMENT...]
//
// Starts PROGRAM in a new terminal in WORKING_FOLDER with this process's environment, then goes on in a
// session of its own: the command returns (0) once the program runs and the socket listens, or prints why not
// (1).

#include "SessionHolder.h"

#include "Shared/SessionHolderProtocol.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

struct Options {
    std::string folder;
    std::string workingFolder;
    unsigned columns = 80, rows = 24;
    char **program = nullptr;
};

bool parse(int argc, char **argv, Options &options)
{
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--" && index + 1 < argc) {
            options.program = argv + index + 1;
            return !options.folder.empty() && !options.workingFolder.empty();
        }
        if (index + 1 >= argc)
            return false;
        const char *value = argv[++index];
        if (argument == "--folder")
            options.folder = value;
        else if (argument == "--cwd")
            options.workingFolder = value;
        else if (argument != "--size" || std::sscanf(value, "%ux%u", &options.columns, &options.rows) != 2 ||
                 options.columns == 0 || options.rows == 0 || options.columns > 0xffff ||
                 options.rows > 0xffff)
            return false;
    }
    return false;
}

// Tells the waiting parent how the start went and lets it return; `problem` empty when it went well.
void report(int channel, const std::string &problem)
{
    const std::string message = problem.empty() ? std::string("ok") : problem;
    [[maybe_unused]] const ssize_t written = ::write(channel, message.data(), message.size());
    ::close(channel);
}

int listenAt(const std::string &path, std::string &problem)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        problem = "the socket's path is too long: " + path;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ::unlink(path.c_str());
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, SessionHolderProtocol::maxReaders) != 0) {
        problem = "cannot listen at " + path + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

// In the program's process, before exec: only calls that are safe after fork.
[[noreturn]] void startProgram(const Options &options, const sigset_t &mask, mode_t fileMask, int failures)
{
    const char *step = "cannot enter the folder: ";
    if (::chdir(options.workingFolder.c_str()) == 0) {
        ::sigprocmask(SIG_UNBLOCK, &mask, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::signal(SIGXFSZ, SIG_DFL);
        ::umask(fileMask);
        ::execv(options.program[0], options.program);
        step = "cannot run the program: ";
    }
    const int error = errno;
    [[maybe_unused]] ssize_t written = ::write(failures, step, std::strlen(step));
    written = ::write(failures, std::strerror(error), std::strlen(std::strerror(error)));
    ::_exit(127);
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        std::fputs("usage: ferrowyn-session --folder FOLDER --cwd FOLDER --size COLUMNSxROWS -- PROGRAM "
                   "[ARGUMENT...]\n",
                   stderr);
        return 2;
    }
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0)
        return 1;
    const pid_t holder = ::fork();
    if (holder < 0) {
        std::perror("ferrowyn-session");
        return 1;
    }
    if (holder > 0) {
        // The starting process waits for the holder's word, then returns: the holder is nobody's child.
        ::close(channel[1]);
        std::string answer;
        char block[512];
        ssize_t got;
        while ((got = ::read(channel[0], block, sizeof block)) > 0 || (got < 0 && errno == EINTR))
            answer.append(block, got > 0 ? static_cast<std::size_t>(got) : 0);
        if (answer == "ok")
            return 0;
        std::fprintf(stderr, "%s\n",
                     answer.empty() ? "the session's holder ended at its start" : answer.c_str());
        return 1;
    }
    ::close(channel[0]);
    ::setsid();
    // The holder's own files are the user's alone; the program gets the mask it was started with.
    const mode_t programMask = ::umask(077);
    // Not the working folder: the holder keeps no mount busy.
    if (::chdir("/") != 0)
        return 1;
    ::signal(SIGPIPE, SIG_IGN);
    // A file size limit (ulimit -f) then fails a write of the output, which is told, rather than killing the
    // holder without a word.
    ::signal(SIGXFSZ, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    for (const int signal : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&mask, signal);
    ::sigprocmask(SIG_BLOCK, &mask, nullptr);
    const int signals = ::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    std::string problem;
    const std::string socketPath = options.folder + '/' + std::string(SessionHolderProtocol::socketName);
    const int listener = signals < 0 ? -1 : listenAt(socketPath, problem);
    if (listener < 0) {
        report(channel[1], problem.empty() ? std::string("cannot watch signals") : problem);
        return 1;
    }
    int failures[2];
    if (::pipe2(failures, O_CLOEXEC) != 0) {
        report(channel[1], "cannot make a pipe");
        return 1;
    }
    winsize size{};
    size.ws_col = static_cast<unsigned short>(options.columns);
    size.ws_row = static_cast<unsigned short>(options.rows);
    int master = -1;
    const pid_t program = ::forkpty(&master, nullptr, nullptr, &size);
    if (program == 0)
        startProgram(options, mask, programMask, failures[1]);
    ::close(failures[1]);
    if (program < 0) {
        report(channel[1], std::string("cannot open a terminal: ") + std::strerror(errno));
        ::unlink(socketPath.c_str());
        return 1;
    }
    // The program's exec closes the pipe; words on it say why it did not run.
    std::string failure;
    char block[512];
    ssize_t got;
    while ((got = ::read(failures[0], block, sizeof block)) > 0 || (got < 0 && errno == EINTR))
        failure.append(block, got > 0 ? static_cast<std::size_t>(got) : 0);
    ::close(failures[0]);
    if (!failure.empty()) {
        report(channel[1], failure);
        ::unlink(socketPath.c_str());
        return 1;
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (const int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        ::dup2(null, standard);
    report(channel[1], {});
    SessionHolder sessionHolder(options.folder, socketPath, master, program, listener, signals,
                                options.columns, options.rows);
    return sessionHolder.run();
}
