#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

// What every fuzz target shares: an application object for the code that needs one, quiet Qt diagnostics
// (a damaged input is expected to be warned about, millions of times), and a check that stops the run.
// Each target includes this header in its one source file.

// A violated invariant: the input's reproduction is left to libFuzzer's crash report.
#define FUZZ_CHECK(condition)                                                                                \
    ((condition)                                                                                             \
         ? void()                                                                                            \
         : (std::fprintf(stderr, "invariant violated at %s:%d: %s\n", __FILE__, __LINE__, #condition),       \
            std::abort()))

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Qt still aborts after a fatal message.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    return 0;
}

// A folder for the files a target saves, removed when the run ends. The code under test syncs every file it
// saves to disk; in memory that costs nothing, which makes those targets ten times faster.
inline QString fuzzFolder()
{
    const QString memory = QStringLiteral("/dev/shm");
    static QTemporaryDir folder((QFileInfo(memory).isWritable() ? memory : QDir::tempPath()) +
                                QStringLiteral("/ferrowyn-fuzz-XXXXXX"));
    FUZZ_CHECK(folder.isValid());
    return folder.path();
}
