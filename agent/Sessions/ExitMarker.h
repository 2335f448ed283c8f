#pragma once

#include <QByteArray>

#include <optional>

// The end of a session's program as its terminal shows it. When the program ends, the session's shell writes
// an escape sequence that names the session's own random marker and the exit status, and keeps the terminal
// open: tmux drops what it has not yet sent of a terminal that closes, so the agent ends the session only
// once it has read everything up to this sequence. Terminals ignore the sequence; the agent takes it out.
class ExitMarker {
public:
    explicit ExitMarker(const QByteArray &marker);

    // The sequence the shell writes, as a printf format taking the status.
    static QByteArray printfFormat(const QByteArray &marker);

    // The bytes of `bytes` to pass on: everything but the sequence, less a tail that may be its beginning,
    // which is held until the next bytes tell.
    QByteArray filter(const QByteArray &bytes);
    // The program's exit status once the sequence was read.
    std::optional<int> status() const { return m_status; }

private:
    QByteArray m_prefix;
    QByteArray m_held;
    std::optional<int> m_status;
};
