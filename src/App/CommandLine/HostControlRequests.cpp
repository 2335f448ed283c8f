#include "App/CommandLine/HostControlRequests.h"

#include "App/CommandLine/HostControlProtocol.h"
#include "App/CommandLine/SessionCommands.h"
#include "App/HostPresenter.h"
#include "Services/HostAgentController.h"
#include "Services/Settings/HostPreferences.h"
#include "Services/Wording/StatusTexts.h"
#include "Shared/TunnelState.h"

#include <QJsonArray>

#include <QMetaEnum>
#include <algorithm>

namespace {

namespace Protocol = HostControlProtocol;

QString routeName(const HostPreferences &preferences, const HostAgentController &controller)
{
    if (preferences.mode() == HostingMode::relay)
        return QStringLiteral("relay");
    return controller.tunnelState() == TunnelState::online ? QStringLiteral("tunnel") : QStringLiteral("lan");
}

QString endpoint(const HostPreferences &preferences, const HostAgentController &controller)
{
    if (preferences.mode() == HostingMode::relay)
        return preferences.relayURL();
    if (controller.tunnelState() == TunnelState::online)
        return controller.tunnelPublicURL();
    // The address comes with its port.
    const QString address = controller.resolvedLANAddress();
    return address.isEmpty() ? QString() : QStringLiteral("ws://") + address;
}

} // namespace

HostControlRequests::HostControlRequests(HostPreferences &preferences, HostAgentController &controller,
                                         HostPresenter &presenter, std::function<void()> quit)
    : m_preferences(preferences), m_controller(controller), m_presenter(presenter), m_quit(std::move(quit))
{}

QJsonObject HostControlRequests::answer(const QJsonObject &request)
{
    const QString name = request.value(Protocol::requestKey).toString();
    if (name == Protocol::status)
        return status();
    if (name == Protocol::link) {
        if (!m_presenter.hasSetupLink())
            return {{Protocol::errorKey,
                     QStringLiteral("There is no setup link yet: %1").arg(m_presenter.statusHeadline())}};
        return {{Protocol::link, m_presenter.setupLinkText()},
                {Protocol::browserLinkKey, m_presenter.setupLinkText(true)},
                {Protocol::keyFingerprintKey, m_presenter.keyFingerprintLine()}};
    }
    if (name == Protocol::devices)
        return devices();
    if (name == Protocol::sessions)
        return SessionCommands::list(m_controller.sessions(),
                                     m_controller.state().kind() == AgentRunState::Kind::running);
    if (name == Protocol::endSession) {
        const QString id = request.value(Protocol::sessionIdKey).toString();
        if (!m_controller.sessions().find(id))
            return {{Protocol::errorKey,
                     QStringLiteral("No coding session has the id \"%1\" (see --sessions)").arg(id)}};
        m_controller.endSession(id);
        return {{Protocol::doneKey, name}};
    }
    if (name == Protocol::revoke) {
        const QString deviceId = request.value(Protocol::deviceIdKey).toString();
        const QList<TrustedDevice> known = m_presenter.devices()->devices();
        if (std::none_of(known.cbegin(), known.cend(),
                         [&](const TrustedDevice &d) { return d.deviceId == deviceId; }))
            return {{Protocol::errorKey, unknownDevice(deviceId)}};
        m_presenter.revokeDevice(deviceId);
    } else if (name == Protocol::start) {
        // Starting again would drop every connected tablet and replace the setup link: that is --restart.
        const AgentRunState::Kind kind = m_controller.state().kind();
        if (kind == AgentRunState::Kind::starting || kind == AgentRunState::Kind::running)
            return {{Protocol::doneKey, name},
                    {Protocol::noteKey, QStringLiteral("Hosting is already running; nothing was changed.")}};
        m_presenter.startHosting();
    } else if (name == Protocol::stop) {
        if (!m_presenter.canStop())
            return {{Protocol::doneKey, name},
                    {Protocol::noteKey, QStringLiteral("Hosting is not running; nothing was changed.")}};
        m_presenter.stopHosting();
    } else if (name == Protocol::restart)
        m_presenter.restartHosting();
    else if (name == Protocol::rotate)
        m_presenter.rotatePairing();
    else if (name == Protocol::quit)
        m_quit();
    else
        return {{Protocol::errorKey, QStringLiteral("unknown request \"%1\"").arg(name)}};
    return {{Protocol::doneKey, name}};
}

QString HostControlRequests::unknownDevice(const QString &deviceId)
{
    return QStringLiteral("No paired tablet has the id \"%1\" (see --devices)").arg(deviceId);
}

QJsonObject HostControlRequests::devices() const
{
    const PairedDevicesModel &model = *m_presenter.devices();
    QJsonArray devices;
    for (const TrustedDevice &device : model.devices())
        devices.append(QJsonObject{
            {Protocol::deviceIdKey, device.deviceId},
            {QStringLiteral("name"), device.name},
            {QStringLiteral("pairedAt"), device.pairedAt.toString(Qt::ISODate)},
            {QStringLiteral("lastSeenAt"),
             device.lastSeenAt ? device.lastSeenAt->toString(Qt::ISODate) : QString()},
            {QStringLiteral("route"), device.route},
            {QStringLiteral("summary"), PairedDevicesModel::lastSeenText(device)},
        });
    return {{Protocol::devices, devices}, {QStringLiteral("unreadable"), model.unreadable()}};
}

QJsonObject HostControlRequests::status() const
{
    QJsonArray warnings;
    for (const QString &warning :
         m_presenter.readinessWarnings() + QStringList{m_presenter.settingsFileNotice()})
        if (!warning.isEmpty())
            warnings.append(warning);
    const std::optional<QDateTime> expiry = StatusTexts::setupLinkExpiry(m_controller.setupLink());
    const char *state =
        QMetaEnum::fromType<AgentRunState::Kind>().valueToKey(static_cast<int>(m_controller.state().kind()));
    return {
        {Protocol::runningKey, true},
        {QStringLiteral("state"), QString::fromLatin1(state)},
        {QStringLiteral("status"), m_presenter.statusHeadline()},
        {QStringLiteral("route"), routeName(m_preferences, m_controller)},
        {QStringLiteral("endpoint"), endpoint(m_preferences, m_controller)},
        {QStringLiteral("setupLink"), m_presenter.maskedSetupLink()},
        {QStringLiteral("linkExpiresAt"), expiry ? expiry->toString(Qt::ISODate) : QString()},
        {Protocol::keyFingerprintKey, m_presenter.keyFingerprintLine()},
        {QStringLiteral("agentBuild"), m_presenter.runningAgentBuild()},
        {QStringLiteral("tunnelState"), rawValue(m_controller.tunnelState())},
        {QStringLiteral("secrets"), m_presenter.secretsPlace()},
        {QStringLiteral("sessions"), static_cast<int>(m_controller.sessions().sessions().size())},
        {QStringLiteral("warnings"), warnings},
    };
}
