#include "Services/Supervision/AgentLaunchPlan.h"

#include "Shared/AgentCommandLine.h"
#include "Shared/AgentEnvironment.h"
#include "Shared/AppBrand.h"
#include "Shared/BuildConfig.h"
#include "Shared/RelayCodecStateName.h"

#include <QDir>

#include <algorithm>

namespace {

const QString pathVariable = QStringLiteral("PATH");

QString address(const QString &host, int port)
{
    return host + QLatin1Char(':') + QString::number(port);
}

} // namespace

QStringList AgentLaunchPlan::arguments(const HostingSettings &settings, const QString &relayCodecStatePath)
{
    const QString loopback = QStringLiteral("127.0.0.1");
    QStringList arguments;
    for (const QString &workspace : settings.workspaces)
        arguments << AgentCommandLine::workspace << workspace;
    if (settings.mode == HostingMode::relay) {
        arguments << AgentCommandLine::address << address(loopback, settings.lanPort);
        arguments << AgentCommandLine::relayURL << settings.relayURL;
        arguments << AgentCommandLine::relayCodecState << relayCodecStatePath;
    } else {
        // A tunnel is the only way in from outside, so the agent then listens on loopback only.
        const bool bindAll = settings.lanBindAll && !settings.ngrokTunnelEnabled;
        arguments << AgentCommandLine::address
                  << address(bindAll ? QStringLiteral("0.0.0.0") : loopback, settings.lanPort);
        if (settings.ngrokTunnelEnabled)
            arguments << AgentCommandLine::tunnelMode << AgentCommandLine::ngrokTunnelMode;
    }
    for (const QString &program : settings.sessionPrograms)
        arguments << AgentCommandLine::sessionProgram << program;
    if (settings.allowShell)
        arguments << AgentCommandLine::allowShell;
    if (settings.allowUnencryptedClients)
        arguments << AgentCommandLine::allowUnencryptedClients;
    return arguments;
}

QProcessEnvironment AgentLaunchPlan::environment(const HostingSettings &settings,
                                                 const HostCredentials &credentials,
                                                 const QProcessEnvironment &inherited, const QString &home,
                                                 const FileProbe &probe)
{
    QProcessEnvironment environment = inherited;
    const std::optional<QString> basePath =
        inherited.contains(pathVariable) ? std::optional(inherited.value(pathVariable)) : std::nullopt;
    environment.insert(pathVariable, augmentedToolPath(basePath, home, probe));
    environment.insert(AgentEnvironment::hostToken, credentials.hostToken);
    environment.insert(AgentEnvironment::hostId, credentials.hostId);
    environment.insert(AgentEnvironment::pairingNonce, credentials.pairingNonce);
    environment.insert(AgentEnvironment::agentKey, credentials.agentKey);
    if (settings.wantsTunnel())
        environment.insert(AgentEnvironment::ngrokAuthtoken, settings.ngrokAuthtoken.trimmed());
    else
        environment.remove(AgentEnvironment::ngrokAuthtoken);
    if (settings.mode == HostingMode::relay) {
        environment.insert(AgentEnvironment::relayToken, credentials.relayToken);
        environment.insert(AgentEnvironment::relaySession, credentials.relaySessionId);
    } else {
        environment.remove(AgentEnvironment::relayToken);
        environment.remove(AgentEnvironment::relaySession);
    }
    return environment;
}

QString AgentLaunchPlan::augmentedToolPath(const std::optional<QString> &base, const QString &home,
                                           const FileProbe &probe)
{
    QStringList entries = base.value_or(defaultToolPath).split(QLatin1Char(':'), Qt::SkipEmptyParts);

    const QString nodeVersions = home + QStringLiteral("/.nvm/versions/node");
    QStringList versionNames = probe.listDirectory(nodeVersions);
    // Plain string order, newest-looking first; "9.x" sorting before "20.x" is how it has always been.
    std::sort(versionNames.begin(), versionNames.end(), std::greater<>());

    QStringList candidates;
    for (const QString &name : versionNames)
        candidates << nodeVersions + QLatin1Char('/') + name + QStringLiteral("/bin");
    candidates
        << home + QStringLiteral("/.nvm/current/bin") << home + QStringLiteral("/.npm-global/bin")
        << home + QStringLiteral("/go/bin") << QStringLiteral("/opt/homebrew/bin")
        << QStringLiteral("/usr/local/bin")
        << QStringLiteral(
               "/Applications/Xcode.app/Contents/Developer/Toolchains/XcodeDefault.xctoolchain/usr/bin")
        << QStringLiteral("/Library/Developer/CommandLineTools/usr/bin")
        // Where Linux users keep their own tools; after the others so nothing above loses precedence.
        << home + QStringLiteral("/.local/bin") << home + QStringLiteral("/.cargo/bin")
        << QStringLiteral("/home/linuxbrew/.linuxbrew/bin");

    for (const QString &candidate : std::as_const(candidates)) {
        if (!entries.contains(candidate) && probe.exists(candidate))
            entries << candidate;
    }
    return entries.join(QLatin1Char(':'));
}

QString AgentLaunchPlan::relayCodecStateFolder(const QString &home)
{
    return home + QStringLiteral("/.ferrowyn/relay-codec-state");
}

QString AgentLaunchPlan::relayCodecStatePath(const QString &home, const QString &hostId,
                                             const QString &session, HostRelayVersion relayVersion)
{
    return relayCodecStateFolder(home) + QLatin1Char('/') +
           relayCodecStateFileName(rawValue(relayVersion), hostId, session);
}

QStringList AgentLaunchPlan::agentCandidates(const QString &applicationDir)
{
    return {applicationDir + QLatin1Char('/') + AppBrand::agentExecutableName,
            QDir::cleanPath(applicationDir + QLatin1Char('/') + QLatin1String(BuildConfig::agentDirFromHost) +
                            QLatin1Char('/') + AppBrand::agentExecutableName)};
}

std::optional<QString> AgentLaunchPlan::locateAgent(const QString &applicationDir, const FileProbe &probe)
{
    // The copy beside the host is what the build and the package put there: taken as found, so a damaged
    // one fails loudly at launch instead of silently falling back to another copy.
    const QStringList candidates = agentCandidates(applicationDir);
    if (probe.exists(candidates.at(0)))
        return candidates.at(0);
    if (probe.isExecutableFile(candidates.at(1)))
        return candidates.at(1);
    return std::nullopt;
}
