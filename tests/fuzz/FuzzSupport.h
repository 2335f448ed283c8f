#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

// What every fuzz target shares: an application object for the code that needs one, quiet Qt diagnostics
// (a damaged input is expected to be warned about, millions of times), and a check that stops the run.

// A violated invariant: the message and the input's reproduction are left to libFuzzer's crash report.
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "invariant violated at %s:%d: %s\n", __FILE__, __LINE__, #condition);       \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (false)

inline void silentMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        std::abort();
    }
}

inline void startFuzzApplication()
{
    qInstallMessageHandler(silentMessages);
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
}

// A template for a temporary folder. The code under test syncs every file it saves to disk; in memory that
// costs nothing, which makes the targets that save files ten times faster.
inline QString fuzzTemporaryTemplate()
{
    const QString memory = QStringLiteral("/dev/shm");
    const QString root =
        QFileInfo(memory).isDir() && QFileInfo(memory).isWritable() ? memory : QDir::tempPath();
    return root + QStringLiteral("/ferrowyn-fuzz-XXXXXX");
}
