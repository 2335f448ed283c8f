#pragma once

#include "App/Headless/ConsoleOutput.h"
#include "Services/Links/TerminalQRCode.h"

#include <QObject>
#include <QString>
#include <QStringList>

class AgentOutputLog;
class HostAgentController;
class HostPresenter;

// The window's news for a terminal or a journal, one line each with the time in front: the status, the
// warnings, the agent's masked output and every new setup link, with its QR code unless that is turned off.
// The setup link itself is only ever printed masked; the QR code is the way to the tablet. Output never
// waits for its reader (see ConsoleOutput), and has colours only on a terminal.
class HeadlessConsole : public QObject {
    Q_OBJECT

public:
    HeadlessConsole(HostPresenter &presenter, HostAgentController &controller, bool printQRCode,
                    int fd = STDOUT_FILENO, ConsoleOutput::Limits limits = {}, QObject *parent = nullptr);

    void say(const QString &line);
    // The line with every control character replaced, so that it is read and never obeyed by a terminal.
    static QString printable(QString line);

private:
    void sayStatus();
    void sayWarnings();
    void saySetupLink();
    void saySecretsPlace();

    HostPresenter &m_presenter;
    bool m_printQRCode;
    // Colours only on a terminal; the lines themselves never have any.
    TerminalQRCode::Colours m_colours;
    ConsoleOutput m_output;
    QString m_lastStatus;
    QStringList m_lastWarnings;
    QString m_lastLink;
    QString m_lastBrowserLink;
    QString m_lastSecretsPlace;
};
