#pragma once

#include <QByteArray>

#include <chrono>
#include <memory>
#include <unistd.h>

struct ConsoleOutputLimits {
    // The most bytes waiting to be written.
    qsizetype backlogBytes = 256 * 1024;
    // How long the end waits for the backlog to go out before it leaves it unwritten.
    std::chrono::milliseconds drainAtEnd{1000};
};

// The console's way out to a terminal, a pipe or a journal, which may stop reading at any time (a paused
// terminal, a pipe nobody reads): a thread of its own does the writing, so the host's event loop never waits
// on it. What waits is bounded; text that does not fit is dropped whole and counted, and the reader later
// finds "… N lines not shown" where it was.
class ConsoleOutput {
public:
    using Limits = ConsoleOutputLimits;

    explicit ConsoleOutput(int fd = STDOUT_FILENO, Limits limits = {});
    ~ConsoleOutput();
    ConsoleOutput(const ConsoleOutput &) = delete;
    ConsoleOutput &operator=(const ConsoleOutput &) = delete;

    // Queues whole lines (a QR code is many), never waiting.
    void write(const QByteArray &lines);

    // The line that stands for dropped lines.
    static QByteArray droppedLine(qint64 count);

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    std::chrono::milliseconds m_drainAtEnd;
};
