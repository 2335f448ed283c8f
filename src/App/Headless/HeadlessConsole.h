#pragma once

#include <QObject>
#include <QString>

#include <cstdio>

class AgentOutputLog;
class HostAgentController;
class HostPresenter;

// The window's news for a terminal or a journal, one line each with the time in front: the status, the
// warnings, the agent's masked output and every new setup link, with its QR code unless that is turned off.
// The setup link itself is only ever printed masked; the QR code is the way to the tablet.
class HeadlessConsole : public QObject {
    Q_OBJECT

public:
    HeadlessConsole(HostPresenter &presenter, HostAgentController &controller, bool printQRCode,
                    std::FILE *out = stdout, QObject *parent = nullptr);

    void say(const QString &line);
    // The line with every control character replaced, so that it is read and never obeyed by a terminal.
    static QString printable(QString line);

private:
    void sayStatus();
    void sayWarnings();
    void saySetupLink();

    HostPresenter &m_presenter;
    HostAgentController &m_controller;
    bool m_printQRCode;
    std::FILE *m_out;
    QString m_lastStatus;
    QString m_lastWarning;
    QString m_lastLink;
};
