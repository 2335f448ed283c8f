// A stand-in for the agent whose behaviour a test scripts through FAKE_AGENT_SCRIPT, a list of steps
// separated by ";" (escapes: \n \r \t \\ \; \xHH). Without an "exit" or "hang" step it exits with status 0.
//   out=TEXT, err=TEXT      write TEXT to standard output or standard error in one write
//   env-out=NAME            write the variable's value and a line feed to standard output
//   env-split=NAME          the same, in two writes 50 ms apart, cut in the middle of the value
//   pid-out                 write "pid N" and a line feed to standard output
//   burst=N[:NAME]          write N lines "x" (or "NAME=value") to standard output in one write
//   pause=MS                sleep
//   record=PATH             write argv, environment, pid, process group and parent-death signal to PATH
//   grandchild=PATH         start a child that sleeps for ever, and write its pid to PATH
//   ignore-term             ignore SIGTERM from now on
//   exit=N, hang            exit with status N; wait for a signal for ever

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/prctl.h>
#include <unistd.h>

extern char **environ;

namespace {

std::vector<std::string> splitSteps(const char *script)
{
    std::vector<std::string> steps(1);
    for (const char *p = script; *p; ++p) {
        if (*p == '\\' && p[1]) {
            ++p;
            switch (*p) {
            case 'n':
                steps.back() += '\n';
                break;
            case 'r':
                steps.back() += '\r';
                break;
            case 't':
                steps.back() += '\t';
                break;
            case 'x':
                if (p[1] && p[2]) {
                    const char hex[3] = {p[1], p[2], 0};
                    steps.back() += static_cast<char>(std::strtol(hex, nullptr, 16));
                    p += 2;
                }
                break;
            default:
                steps.back() += *p;
            }
        } else if (*p == ';') {
            steps.emplace_back();
        } else {
            steps.back() += *p;
        }
    }
    return steps;
}

void writeAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

// Written under a temporary name first, so a test that sees the file sees all of it.
void writeFile(const std::string &path, const std::string &text)
{
    const std::string temporary = path + ".tmp";
    FILE *file = std::fopen(temporary.c_str(), "w");
    if (!file)
        std::exit(90);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    std::rename(temporary.c_str(), path.c_str());
}

void sleepMs(long ms)
{
    ::usleep(static_cast<useconds_t>(ms) * 1000);
}

} // namespace

int main(int argc, char **argv)
{
    const char *script = std::getenv("FAKE_AGENT_SCRIPT");
    for (const std::string &step : splitSteps(script ? script : "")) {
        const size_t equals = step.find('=');
        const std::string verb = step.substr(0, equals);
        const std::string arg = equals == std::string::npos ? std::string() : step.substr(equals + 1);
        if (verb == "out" || verb == "err") {
            writeAll(verb == "out" ? 1 : 2, arg);
        } else if (verb == "env-out" || verb == "env-split") {
            const char *value = std::getenv(arg.c_str());
            const std::string text = value ? value : "";
            if (verb == "env-split") {
                writeAll(1, text.substr(0, text.size() / 2));
                sleepMs(50);
                writeAll(1, text.substr(text.size() / 2) + "\n");
            } else {
                writeAll(1, text + "\n");
            }
        } else if (verb == "pid-out") {
            writeAll(1, "pid " + std::to_string(::getpid()) + "\n");
        } else if (verb == "burst") {
            const size_t colon = arg.find(':');
            std::string line = "x\n";
            if (colon != std::string::npos) {
                const std::string name = arg.substr(colon + 1);
                const char *value = std::getenv(name.c_str());
                line = name + "=" + (value ? value : "") + "\n";
            }
            std::string burst;
            for (long i = std::atol(arg.c_str()); i > 0; --i)
                burst += line;
            writeAll(1, burst);
        } else if (verb == "pause") {
            sleepMs(std::atol(arg.c_str()));
        } else if (verb == "record") {
            std::string record;
            for (int i = 1; i < argc; ++i)
                record += std::string("arg=") + argv[i] + "\n";
            for (char **e = environ; *e; ++e)
                record += std::string("env=") + *e + "\n";
            int deathSignal = 0;
            ::prctl(PR_GET_PDEATHSIG, &deathSignal);
            record += "pid=" + std::to_string(::getpid()) + "\n";
            record += "pgid=" + std::to_string(::getpgrp()) + "\n";
            record += "pdeathsig=" + std::to_string(deathSignal) + "\n";
            writeFile(arg, record);
        } else if (verb == "grandchild") {
            const pid_t child = ::fork();
            if (child == 0) {
                for (;;)
                    ::pause();
            }
            writeFile(arg, std::to_string(child) + "\n");
        } else if (verb == "ignore-term") {
            std::signal(SIGTERM, SIG_IGN);
        } else if (verb == "exit") {
            return std::atoi(arg.c_str());
        } else if (verb == "hang") {
            for (;;)
                ::pause();
        }
    }
    return 0;
}
