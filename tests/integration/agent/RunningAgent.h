#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// One ferrowyn-agent under test: its own temporary HOME, fresh random secrets, a port chosen by the system,
// and everything it writes collected for the check that no secret ever leaves it.
class RunningAgent {
public:
    RunningAgent();
    ~RunningAgent();

    QString hostToken;
    QString hostId;
    QString pairingNonce;
    QString relayToken;
    QString ngrokAuthtoken;
    QString relaySession;
    QProcessEnvironment environment;

    QString home() const { return m_home.path(); }
    // Runs with `arguments`; true once the agent reports its listening port.
    bool start(const QStringList &arguments);
    // Runs to the end (for arguments that make it exit at once); returns the exit status.
    int runToExit(const QStringList &arguments, int timeoutMs = 5000);
    quint16 port() const { return m_port; }
    QString wsUrl() const;
    QProcess &process() { return m_process; }
    // Sends SIGTERM and returns the exit status, or -1 when it did not end within `timeoutMs`.
    int terminate(int timeoutMs = 1000);

    QString standardOutput() const { return m_stdout; }
    QString standardError() const { return m_stderr; }
    QString allOutput() const { return m_stdout + m_stderr; }
    // Waits until the output contains `text`.
    bool waitForOutput(const QString &text, int timeoutMs = 5000);
    // The secrets found in the output; empty is the only good answer.
    QStringList leakedSecrets() const;

    static QString agentPath() { return QStringLiteral(FERROWYN_AGENT_PATH); }
    static QString randomSecret();

private:
    void collect();
    int exitStatus(int timeoutMs);

    QTemporaryDir m_home;
    QProcess m_process;
    QString m_stdout;
    QString m_stderr;
    quint16 m_port = 0;
};
