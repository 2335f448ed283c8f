#include "App/Headless/HeadlessConsole.h"

#include "App/HostPresenter.h"
#include "Platform/TerminalColours.h"
#include "Services/HostAgentController.h"
#include "Services/Links/QRCodeRenderer.h"
#include "Services/Links/TerminalQRCode.h"
#include "Services/Supervision/AgentOutputLog.h"

#include <QTime>

#include <utility>

HeadlessConsole::HeadlessConsole(HostPresenter &presenter, HostAgentController &controller, bool printQRCode,
                                 int fd, ConsoleOutput::Limits limits, QObject *parent)
    : QObject(parent), m_presenter(presenter), m_printQRCode(printQRCode),
      m_colours(TerminalColours::wanted(fd) ? TerminalQRCode::Colours::explicitDarkOnLight
                                            : TerminalQRCode::Colours::none),
      m_output(fd, limits)
{
    connect(&presenter, &HostPresenter::runStateChanged, this, &HeadlessConsole::sayStatus);
    connect(&presenter, &HostPresenter::hostingStatusChanged, this, &HeadlessConsole::sayStatus);
    connect(&presenter, &HostPresenter::readinessWarningChanged, this, &HeadlessConsole::sayWarnings);
    connect(&presenter, &HostPresenter::setupLinkChanged, this, &HeadlessConsole::saySetupLink);
    connect(&presenter, &HostPresenter::secretsPlaceChanged, this, &HeadlessConsole::saySecretsPlace);
    if (auto *log = qobject_cast<AgentOutputLog *>(controller.log())) {
        log->setTranscribing(true);
        connect(log, &AgentOutputLog::linesTranscribed, this, [this](const QStringList &lines) {
            for (const QString &line : lines)
                say(line);
        });
    }
    if (!presenter.settingsFileNotice().isEmpty())
        say(presenter.settingsFileNotice());
    sayWarnings();
    saySecretsPlace();
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
    m_output.write(text);
}

void HeadlessConsole::sayStatus()
{
    // A failure's headline is its message: said once, and once only while restarts fail the same way.
    const QString status = m_presenter.statusHeadline();
    if (status == m_lastStatus)
        return;
    m_lastStatus = status;
    say(status);
}

void HeadlessConsole::sayWarnings()
{
    // Each warning once, when it appears.
    const QStringList warnings = m_presenter.readinessWarnings();
    for (const QString &warning : warnings) {
        if (!m_lastWarnings.contains(warning))
            say(QStringLiteral("Warning: ") + warning);
    }
    m_lastWarnings = warnings;
}

void HeadlessConsole::saySecretsPlace()
{
    // Said once the keyring has answered, and again whenever that changes.
    const QString place = m_presenter.secretsPlace();
    if (place.isEmpty() || place == m_lastSecretsPlace)
        return;
    m_lastSecretsPlace = place;
    say(QStringLiteral("Pairing secrets: ") + place);
}

void HeadlessConsole::saySetupLink()
{
    const QString link = m_presenter.setupLinkText();
    if (link != std::exchange(m_lastLink, link) && !link.isEmpty()) {
        const std::optional<QImage> modules =
            m_printQRCode ? QRCodeRenderer::moduleImage(link) : std::optional<QImage>();
        if (modules)
            m_output.write(TerminalQRCode::text(*modules, m_colours).toUtf8());
        say(QStringLiteral("Setup link: ") + m_presenter.maskedSetupLink());
        if (!m_presenter.keyFingerprintLine().isEmpty())
            say(m_presenter.keyFingerprintLine());
        if (m_presenter.hasBrowserLink())
            say(QStringLiteral(
                "A tablet without the app cannot open the setup link: it pairs in its browser, from "
                "the browser link."));
        if (!m_presenter.expiryLine().isEmpty())
            say(m_presenter.expiryLine());
    }
    // A tablet without the app pairs in its browser, by a code of its own that changes at every pairing: said
    // each time, with where to get its QR code (the link above is for the app).
    const QString browserLink = m_presenter.setupLinkText(true);
    if (browserLink != std::exchange(m_lastBrowserLink, browserLink) && !browserLink.isEmpty())
        say(QStringLiteral("Browser link: %1 (its QR code: ferrowyn-host --link --browser --qr)")
                .arg(m_presenter.maskedBrowserLink()));
}
