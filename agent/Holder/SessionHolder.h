#pragma once

#include "HeldProgram.h"
#include "HolderSpool.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// The running holder of one session: the program's terminal, its spool, its socket and the readers attached,
// in one poll() loop with no timeout while nothing ends, so that a silent program costs no wake-up. See
// SessionHolderProtocol.h for what readers say.
class SessionHolder {
public:
    // `master`: the program's terminal; `program`: its process id (its own process group); `listener`: the
    // bound and listening socket at `socketPath`; `signals`: a signalfd for SIGCHLD, SIGTERM, SIGINT and
    // SIGHUP.
    SessionHolder(std::string folder, std::string socketPath, int master, pid_t program, int listener,
                  int signals, unsigned columns, unsigned rows);
    // Runs until the program ended and every reader was told; returns the holder's exit status.
    int run();

private:
    struct Reader {
        int fd = -1;
        bool greeted = false;
        bool idle = true;
        bool told = false;
        bool shut = false;
        // The terminal's size is to be told when this reader is next fed (after `attached`, and after each
        // change): a reader that does not read keeps one size to be told, not a queue of them.
        bool sizeToTell = true;
        std::uint64_t sent = 0;
        std::uint64_t acknowledged = 0;
        unsigned columns = 0, rows = 0;
        std::uint64_t activeAt = 0;
        std::string in;
        std::string out;
    };

    bool mayReadTerminal() const;
    void readTerminal();
    void writeInput();
    void accept();
    void readFrom(Reader &reader);
    bool handle(Reader &reader, unsigned char type, const std::string &body);
    void feed(Reader &reader);
    bool flush(Reader &reader);
    void drop(std::size_t index);
    void makeActive(Reader &reader);
    void applySize();
    void onSignals();
    void finish();
    void closeTerminal();

    std::string m_folder;
    std::string m_socketPath;
    int m_master;
    HeldProgram m_program;
    int m_listener;
    int m_signals;
    HolderSpool m_spool;
    std::vector<Reader> m_readers;
    std::string m_pendingInput;
    std::uint64_t m_activity = 0;
    unsigned m_columns, m_rows;
    bool m_finished = false;
    // Monotonic milliseconds: until when the terminal of a program that ended is read, and when readers that
    // do not take the end are let go; 0 when not set.
    std::int64_t m_drainUntil = 0;
    std::int64_t m_leaveAt = 0;
};
