#include "App/Headless/HeadlessConsole.h"

#include "App/HostPresenter.h"
#include "Services/HostAgentController.h"
#include "Services/Links/QRCodeRenderer.h"
#include "Services/Links/TerminalQRCode.h"
#include "Services/Supervision/AgentOutputLog.h"

#include <QTime>

HeadlessConsole::HeadlessConsole(HostPresenter &presenter, HostAgentController &controller, bool printQRCode,
                                 std::FILE *out, QObject *parent)
    : QObject(parent), m_presenter(presenter), m_controller(controller), m_printQRCode(printQRCode),
      m_out(out)
{
    connect(&presenter, &HostPresenter::runStateChanged, this, &HeadlessConsole::sayStatus);
    connect(&presenter, &HostPresenter::hostingStatusChanged, this, &HeadlessConsole::sayStatus);
    connect(&presenter, &HostPresenter::readinessWarningChanged, this, &HeadlessConsole::sayWarnings);
    connect(&presenter, &HostPresenter::setupLinkChanged, this, &HeadlessConsole::saySetupLink);
    if (auto *log = qobject_cast<AgentOutputLog *>(controller.log())) {
        log->setTranscribing(true);
        connect(log, &AgentOutputLog::linesTranscribed, this, [this](const QStringList &lines) {
            for (const QString &line : lines)
                say(line);
        });
    }
    if (!presenter.settingsFileNotice().isEmpty())
        say(presenter.settingsFileNotice());
}

QString HeadlessConsole::printable(QString line)
{
    // The agent's output, ngrok's words and the names tablets give themselves come from outside: an escape
    // sequence among them would drive the terminal (its title, its colours, even its input), not be read.
    for (QChar &c : line) {
        const char16_t code = c.unicode();
        if ((code < 0x20 && code != u'\t') || (code >= 0x7f && code < 0xa0))
            c = QChar::ReplacementCharacter;
    }
    return line;
}

void HeadlessConsole::say(const QString &line)
{
    const QByteArray text =
        (QTime::currentTime().toString(QStringLiteral("HH:mm:ss ")) + printable(line) + QLatin1Char('\n'))
            .toUtf8();
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), m_out);
    // A journal or a pipe must see each line when it happens, not when a buffer fills.
    std::fflush(m_out);
}

void HeadlessConsole::sayStatus()
{
    QString status = m_presenter.statusHeadline();
    if (m_controller.state().isFailed())
        status += QStringLiteral(": ") + m_controller.state().message();
    if (status == m_lastStatus)
        return;
    m_lastStatus = status;
    say(status);
}

void HeadlessConsole::sayWarnings()
{
    const QString warning = m_presenter.readinessWarning();
    if (warning == m_lastWarning)
        return;
    m_lastWarning = warning;
    if (!warning.isEmpty())
        say(QStringLiteral("Warning: ") + warning);
}

void HeadlessConsole::saySetupLink()
{
    const QString link = m_presenter.setupLinkText();
    if (link == m_lastLink)
        return;
    m_lastLink = link;
    if (link.isEmpty())
        return;
    if (m_printQRCode) {
        if (const std::optional<QImage> modules = QRCodeRenderer::moduleImage(link)) {
            const QByteArray code = TerminalQRCode::text(*modules).toUtf8();
            std::fwrite(code.constData(), 1, static_cast<std::size_t>(code.size()), m_out);
        }
    }
    say(QStringLiteral("Setup link: ") + m_presenter.maskedSetupLink());
    if (!m_presenter.expiryLine().isEmpty())
        say(m_presenter.expiryLine());
}
