#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// The program a holder started, in a session and process group of its own: ending it (a hang-up, then a kill
// after a grace), how it ended, and the holder's problem that ended it, if one did: the holder's own output
// goes nowhere, so its end is where a problem is told.
class HeldProgram {
public:
    // Takes the room of the end record in `folder` at once, while there is some: a disk that the program's
    // output fills later cannot keep its end, and the problem, from being written.
    HeldProgram(pid_t pid, const std::string &folder);
    ~HeldProgram();
    HeldProgram(const HeldProgram &) = delete;
    HeldProgram &operator=(const HeldProgram &) = delete;

    // Hangs the program up, to be killed at `now` plus the grace unless it ended by then; `terminal`: its
    // terminal (for the group a shell runs in the foreground), or -1.
    void end(int terminal, std::int64_t now);
    // Ends it, or, once it ended, only notes why: the holder cannot go on (its output cannot be kept). The
    // first problem is told; later ones follow from it.
    void fail(const std::string &problem, int terminal, std::int64_t now);
    // Kills it when the grace is over; the time it is due, or 0.
    void killIfDue(int terminal, std::int64_t now);
    std::int64_t killAt() const { return m_killAt; }
    bool isEnding() const { return m_killAt > 0; }
    // Gives the program's terminal a new size; the program hears of it (SIGWINCH).
    static void resize(int terminal, unsigned columns, unsigned rows);
    // Sends `signal` to its process group and the terminal's foreground group, while it runs.
    void signal(int signal, int terminal) const;
    // Collects ended children: true once the program itself ended.
    bool reap();
    bool hasEnded() const { return m_ended; }
    // How it ended as SessionHolderProtocol::ended tells it.
    std::string endedFrame() const;
    // Writes the end record, replacing any: a line "exit N" or "signal N", then the problem's line, if any;
    // false when it could not.
    bool writeRecord();

private:
    pid_t m_pid;
    bool m_ended = false;
    bool m_bySignal = false;
    std::uint32_t m_value = 0;
    std::int64_t m_killAt = 0;
    std::string m_problem;
    std::string m_record;
    // The record's room, kept as its partial file until it is written; -1 when it could not be taken.
    int m_recordFd = -1;
};
