#pragma once

#include <cstdio>

struct HostCommandLine;

// The command line's side of a request to the running host: sends it, prints the answer and returns the
// exit status (0 done, 1 refused or cancelled, HostCommandLine::notRunning, HostCommandLine::noAnswer).
namespace HostControlClient {

inline constexpr int answerTimeoutMs = 5000;

int run(const HostCommandLine &commandLine, std::FILE *in = stdin, std::FILE *out = stdout,
        std::FILE *err = stderr);

} // namespace HostControlClient
