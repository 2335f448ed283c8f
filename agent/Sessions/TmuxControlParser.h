#pragma once

#include <QByteArray>
#include <QList>

// Reads what a tmux client in control mode (`tmux -C`) writes: one line per message. A pane's output comes as
// "%output %PANE DATA" with every byte below 0x20 and the backslash written as three octal digits, cut
// anywhere (a line ending, or a multi-byte character, may be split over two messages); each command's answer
// comes between "%begin" and "%end" (or "%error") lines; "%exit" ends the client. Other notifications are
// not needed and are skipped.
class TmuxControlParser {
public:
    struct Event {
        enum Kind { output, reply, exit };
        Kind kind = output;
        // output: the pane's bytes, decoded.
        QByteArray data;
        // reply: whether the command succeeded, its lines, and whether it came from the client's command line
        // (flags 0) rather than from its standard input.
        bool ok = true;
        bool fromCommandLine = false;
        QList<QByteArray> lines;
    };

    // Consumes `bytes` and appends each complete message to `events`. A partial line waits for the rest.
    void feed(const QByteArray &bytes, QList<Event> &events);

    // The bytes of an output message's DATA with its octal escapes undone.
    static QByteArray unescape(const QByteArray &data);

private:
    void line(const QByteArray &text, QList<Event> &events);

    QByteArray m_partial;
    bool m_inBlock = false;
    QByteArray m_blockGuard;
    Event m_block;
};
