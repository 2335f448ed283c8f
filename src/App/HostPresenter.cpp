#include "App/HostPresenter.h"

#include "App/HostApplication.h"
#include "Platform/FileManagerReveal.h"
#include "Platform/JsonFileUserDefaults.h"
#include "Services/HostAgentController.h"
#include "Services/Links/QRCodeRenderer.h"
#include "Services/Pairing/PairingSecretsPlace.h"
#include "Services/Redaction/HostSecretRedactor.h"
#include "Services/Sessions/CodingWork.h"
#include "Services/Settings/HostPreferences.h"
#include "Services/Wording/StatusTexts.h"
#include "Shared/TunnelState.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QUrl>

HostPresenter::HostPresenter(HostPreferences &preferences, HostAgentController &controller, QObject *parent)
    : QObject(parent), m_preferences(preferences), m_controller(controller),
      m_workspaces(new WorkspaceListModel(preferences, controller, this)),
      m_devices(new PairedDevicesModel(&HostAgentController::trustedDevicesPath, this)),
      m_sessions(new CodingSessionsModel(
          controller.sessions(),
          [&controller] { return controller.state().kind() == AgentRunState::Kind::running; },
          [&controller](const QString &id) { controller.endSession(id); }, this))
{
    connect(&m_controller, &HostAgentController::stateChanged, m_sessions,
            &CodingSessionsModel::agentRunningChanged);
    m_devices->setHostId(m_controller.hostId());
    connect(&m_controller, &HostAgentController::hostIdChanged, m_devices,
            [this] { m_devices->setHostId(m_controller.hostId()); });
    connect(m_devices, &PairedDevicesModel::contentsChanged, &m_controller,
            [this] { m_controller.trustedDevicesChanged(m_devices->devices()); });
    using Controller = HostAgentController;
    for (auto signal : {&Controller::stateChanged, &Controller::restartPendingChanged})
        connect(&m_controller, signal, this, &HostPresenter::runStateChanged);
    connect(&m_controller, &Controller::runningAgentBuildChanged, this,
            &HostPresenter::runningAgentBuildChanged);
    connect(&m_preferences, &HostPreferences::modeChanged, this, &HostPresenter::relayModeChanged);
    // Everything the status texts are made of (see snapshot()).
    for (auto signal : {&HostPreferences::modeChanged, &HostPreferences::lanBindAllChanged,
                        &HostPreferences::ngrokTunnelEnabledChanged})
        connect(&m_preferences, signal, this, &HostPresenter::hostingStatusChanged);
    for (auto signal :
         {&Controller::stateChanged, &Controller::resolvedLANAddressChanged, &Controller::tunnelStateChanged,
          &Controller::tunnelPublicURLChanged, &Controller::tunnelLastErrorChanged})
        connect(&m_controller, signal, this, &HostPresenter::hostingStatusChanged);
    for (auto signal : {&Controller::tunnelStateChanged, &Controller::tunnelPublicURLChanged,
                        &Controller::tunnelLastErrorChanged})
        connect(&m_controller, signal, this, &HostPresenter::tunnelChanged);
    connect(&m_preferences, &HostPreferences::relayVersionChanged, this,
            &HostPresenter::relayVersionDescriptionChanged);
    // The masked link hides the credentials, so it changes with them too.
    for (auto signal : {&Controller::setupLinkChanged, &Controller::hostTokenChanged,
                        &Controller::hostIdChanged, &Controller::relaySessionChanged})
        connect(&m_controller, signal, this, &HostPresenter::setupLinkChanged);
    for (auto signal : {&Controller::hostIdChanged, &Controller::relaySessionChanged})
        connect(&m_controller, signal, this, &HostPresenter::identityChanged);
    connect(&m_controller.warnings(), &HostWarnings::changed, this, &HostPresenter::readinessWarningChanged);
    // The readiness shown is of the folders pinned now and of what tablets may start in them.
    for (auto signal : {&HostPreferences::workspacesChanged, &HostPreferences::sessionProgramsChanged,
                        &HostPreferences::allowShellChanged})
        connect(&m_preferences, signal, this,
                [this] { m_controller.refreshPermissionPreflight(&m_preferences); });
}

namespace {

StatusTexts::HostingStatus snapshot(const HostPreferences &preferences, const HostAgentController &controller)
{
    StatusTexts::HostingStatus status;
    status.state = controller.state();
    status.settings = HostingSettings::from(preferences);
    status.tunnelState = controller.tunnelState();
    status.tunnelPublicURL = controller.tunnelPublicURL();
    status.tunnelLastError = controller.tunnelLastError();
    status.resolvedLANAddress = controller.resolvedLANAddress();
    return status;
}

} // namespace

HostPresenter::RunState HostPresenter::runState() const
{
    switch (m_controller.state().kind()) {
    case AgentRunState::Kind::stopped:
        break;
    case AgentRunState::Kind::starting:
        return RunState::Starting;
    case AgentRunState::Kind::running:
        return RunState::Running;
    case AgentRunState::Kind::stopping:
        return RunState::Stopping;
    case AgentRunState::Kind::failed:
        return RunState::Failed;
    }
    return RunState::Stopped;
}

bool HostPresenter::running() const
{
    return m_controller.state().kind() == AgentRunState::Kind::running;
}

bool HostPresenter::canStop() const
{
    const AgentRunState::Kind kind = m_controller.state().kind();
    return kind == AgentRunState::Kind::running || kind == AgentRunState::Kind::starting ||
           m_controller.restartPending();
}

QString HostPresenter::runningAgentBuild() const
{
    return m_controller.runningAgentBuild();
}

bool HostPresenter::relayMode() const
{
    return m_preferences.mode() == HostingMode::relay;
}

QString HostPresenter::headerLabel() const
{
    return StatusTexts::headerLabel(m_controller.state());
}

QString HostPresenter::statusHeadline() const
{
    return StatusTexts::statusHeadline(snapshot(m_preferences, m_controller));
}

QString HostPresenter::tunnelStatusText() const
{
    return StatusTexts::tunnelStatusText(m_controller.tunnelState(), m_controller.tunnelPublicURL(),
                                         m_controller.tunnelLastError());
}

bool HostPresenter::showTunnelRow() const
{
    return m_controller.tunnelState() != TunnelState::disabled;
}

QString HostPresenter::relayVersionDescription() const
{
    return m_preferences.relayVersion() == HostRelayVersion::elixirV2
               ? QStringLiteral("Elixir relay service. Uses the v2 resume-aware path.")
               : QStringLiteral("Go relay service. Uses the v1 forwarding path.");
}

QString HostPresenter::disconnectedTitle() const
{
    return StatusTexts::disconnectedTitle(snapshot(m_preferences, m_controller));
}

QString HostPresenter::disconnectedMessage() const
{
    return StatusTexts::disconnectedMessage(snapshot(m_preferences, m_controller));
}

QString HostPresenter::instructionText() const
{
    return StatusTexts::instructionText(snapshot(m_preferences, m_controller));
}

bool HostPresenter::hasSetupLink() const
{
    return !m_controller.setupLink().isEmpty();
}

QString HostPresenter::setupLinkText(bool browserForm) const
{
    return (browserForm ? m_controller.browserLink() : m_controller.setupLink()).toString(QUrl::FullyEncoded);
}

QImage HostPresenter::setupLinkCode(bool browserForm) const
{
    const QString text = setupLinkText(browserForm);
    return text.isEmpty() ? QImage() : QRCodeRenderer::moduleImage(text).value_or(QImage());
}

QString HostPresenter::maskedSetupLink() const
{
    const QUrl link = m_controller.setupLink();
    if (link.isEmpty())
        return {};
    return HostSecretRedactor::redactedSetupLink(link, m_controller.redactionSecrets());
}

bool HostPresenter::hasBrowserLink() const
{
    return !m_controller.browserLink().isEmpty();
}

QString HostPresenter::maskedBrowserLink() const
{
    const QUrl link = m_controller.browserLink();
    if (link.isEmpty())
        return {};
    return HostSecretRedactor::redactedSetupLink(link, m_controller.redactionSecrets());
}

QString HostPresenter::expiryLine() const
{
    const std::optional<QDateTime> expiry = StatusTexts::setupLinkExpiry(m_controller.setupLink());
    return expiry ? StatusTexts::expiryLine(*expiry) : QString();
}

QString HostPresenter::keyFingerprintLine() const
{
    return StatusTexts::keyFingerprintLine(m_controller.setupLink());
}

QString HostPresenter::hostIdText() const
{
    return StatusTexts::identityValue(m_controller.hostId());
}

QString HostPresenter::relaySessionText() const
{
    return StatusTexts::identityValue(m_controller.relaySession());
}

QString HostPresenter::readinessWarning() const
{
    return m_controller.warnings().text();
}

QStringList HostPresenter::readinessWarnings() const
{
    return m_controller.warnings().warnings();
}

QString HostPresenter::secretsPlace() const
{
    return m_secretsPlace ? m_secretsPlace->place() : QString();
}

void HostPresenter::showSecretsPlace(const PairingSecretsPlace &place)
{
    m_secretsPlace = &place;
    connect(&place, &PairingSecretsPlace::placeChanged, this, &HostPresenter::secretsPlaceChanged);
    emit secretsPlaceChanged();
}

QAbstractListModel *HostPresenter::log() const
{
    return m_controller.log();
}

void HostPresenter::startHosting()
{
    m_controller.start(&m_preferences);
}

void HostPresenter::stopHosting()
{
    m_controller.stopHosting();
}

void HostPresenter::requestEnding(bool quitting)
{
    const auto ending = quitting ? CodingWork::Ending::quit : CodingWork::Ending::stopHosting;
    if (const int running = m_sessions->count(); running > 0)
        emit endingNeedsConfirmation(CodingWork::endTitle(ending), CodingWork::endQuestion(running, ending),
                                     quitting);
    else
        confirmEnding(quitting);
}

void HostPresenter::confirmEnding(bool quitting)
{
    if (quitting)
        quit();
    else
        stopHosting();
}

void HostPresenter::restartHosting()
{
    // The start stops the running agent first and launches the new one once the old one is gone.
    m_controller.start(&m_preferences);
}

void HostPresenter::restartHostingIfActive()
{
    HostApplication::restartHostingIfActive(m_controller, m_preferences);
}

void HostPresenter::rotatePairing()
{
    m_controller.rotatePairing(&m_preferences);
}

void HostPresenter::revokeDevice(const QString &deviceId)
{
    m_controller.revokeDevice(deviceId, &m_preferences);
}

void HostPresenter::copySetupLink(bool browserForm)
{
    const QString link = setupLinkText(browserForm);
    if (QClipboard *clipboard = QGuiApplication::clipboard()) {
        clipboard->clear();
        clipboard->setText(link);
    }
}

void HostPresenter::refreshPermissionPreflight()
{
    m_controller.refreshPermissionPreflight(&m_preferences);
}

void HostPresenter::grantFolderAccess(const QString &path)
{
    m_controller.grantFolderAccess(path, &m_preferences);
}

void HostPresenter::revealFolder(const QString &path)
{
    FileManagerReveal::reveal(path);
}

void HostPresenter::removeWorkspace(const QString &path)
{
    QStringList workspaces = m_preferences.workspaces();
    // A changed list refreshes the readiness through workspacesChanged; an unchanged one is checked anyway.
    if (workspaces.removeAll(path) > 0)
        m_preferences.setWorkspaces(workspaces);
    else
        m_controller.refreshPermissionPreflight(&m_preferences);
}

void HostPresenter::clearWorkspaces()
{
    m_preferences.setWorkspaces({});
}

void HostPresenter::pinFolders(const QVariantList &folders)
{
    QStringList workspaces = m_preferences.workspaces();
    for (const QVariant &folder : folders) {
        const QUrl url = folder.toUrl();
        const QString path = url.isLocalFile() ? url.toLocalFile() : folder.toString();
        if (!path.isEmpty() && !workspaces.contains(path))
            workspaces.append(path);
    }
    if (workspaces != m_preferences.workspaces())
        m_preferences.setWorkspaces(workspaces);
    else
        m_controller.refreshPermissionPreflight(&m_preferences);
}

void HostPresenter::reportSettingsFile(const JsonFileUserDefaults &defaults)
{
    if (!defaults.fileWasUnreadable())
        return;
    m_settingsFileNotice = StatusTexts::settingsFileNotice(defaults.path(), defaults.backupPath());
    emit settingsFileNoticeChanged();
}

void HostPresenter::dismissSettingsFileNotice()
{
    if (m_settingsFileNotice.isEmpty())
        return;
    m_settingsFileNotice.clear();
    emit settingsFileNoticeChanged();
}

HostPresenter::CloseAction HostPresenter::closeAction(bool trayAvailable) const
{
    switch (HostApplication::closeAction(trayAvailable, canStop(), m_preferences.keepHostingWhenClosed())) {
    case HostApplication::CloseAction::HideWindow:
        return CloseAction::HideWindow;
    case HostApplication::CloseAction::AskFirst:
        return CloseAction::AskFirst;
    case HostApplication::CloseAction::Quit:
        break;
    }
    return CloseAction::Quit;
}

void HostPresenter::rememberCloseChoice(bool keepHosting)
{
    m_preferences.setKeepHostingWhenClosed(keepHosting);
}

bool HostPresenter::startsHidden(bool trayAvailable) const
{
    return HostApplication::startsHidden(m_launchedAtLogin, trayAvailable,
                                         m_preferences.startHostingOnLaunch());
}

void HostPresenter::quit()
{
    QCoreApplication::exit(0);
}
