#pragma once

struct HostCommandLine;

// Hosting without a window, for a machine reached over SSH or a user service: the window's controller,
// stores and settings, with the command line's settings for this run laid over the saved ones, and a
// console in place of the window. Runs the event loop of the QCoreApplication that must exist; returns the
// exit status (0 after SIGTERM or SIGINT, 1 when hosting cannot start at all).
namespace HeadlessHost {

int run(const HostCommandLine &commandLine);

} // namespace HeadlessHost
