#include "Services/AgentLaunchPlan.h"

#include "Shared/AppBrand.h"
#include "Shared/RelayCodecStateName.h"

#include <QDir>

#include <algorithm>

namespace {

const QString hostTokenVariable = QStringLiteral("VELMORA_HOST_TOKEN");
const QString hostIdVariable = QStringLiteral("VELMORA_HOST_ID");
const QString pairingNonceVariable = QStringLiteral("VELMORA_PAIRING_NONCE");
const QString ngrokAuthtokenVariable = QStringLiteral("VELMORA_NGROK_AUTHTOKEN");
const QString relayTokenVariable = QStringLiteral("VELMORA_RELAY_TOKEN");
const QString relaySessionVariable = QStringLiteral("VELMORA_RELAY_SESSION");
const QString pathVariable = QStringLiteral("PATH");

QString address(const QString &host, int port)
{
    return host + QLatin1Char(':') + QString::number(port);
}

} // namespace

QStringList AgentLaunchPlan::arguments(const AgentLaunchSettings &settings, const HostCredentials &,
                                       const QString &relayCodecStatePath)
{
    const QString loopback = QStringLiteral("127.0.0.1");
    QStringList arguments;
    for (const QString &workspace : settings.workspaces)
        arguments << QStringLiteral("--workspace") << workspace;
    if (settings.mode == HostingMode::relay) {
        arguments << QStringLiteral("--addr") << address(loopback, settings.lanPort);
        arguments << QStringLiteral("--relay-url") << settings.relayURL;
        arguments << QStringLiteral("--relay-codec-state") << relayCodecStatePath;
        return arguments;
    }
    // A tunnel is the only way in from outside, so the agent then listens on loopback only.
    const bool bindAll = settings.lanBindAll && !settings.ngrokTunnelEnabled;
    arguments << QStringLiteral("--addr")
              << address(bindAll ? QStringLiteral("0.0.0.0") : loopback, settings.lanPort);
    if (settings.ngrokTunnelEnabled)
        arguments << QStringLiteral("--tunnel-mode") << QStringLiteral("ngrok");
    return arguments;
}

QProcessEnvironment AgentLaunchPlan::environment(const AgentLaunchSettings &settings,
                                                 const HostCredentials &credentials,
                                                 const QProcessEnvironment &inherited, const QString &home,
                                                 const FileProbe &probe)
{
    QProcessEnvironment environment = inherited;
    const std::optional<QString> basePath =
        inherited.contains(pathVariable) ? std::optional(inherited.value(pathVariable)) : std::nullopt;
    environment.insert(pathVariable, augmentedToolPath(basePath, home, probe));
    environment.insert(hostTokenVariable, credentials.hostToken);
    environment.insert(hostIdVariable, credentials.hostId);
    environment.insert(pairingNonceVariable, credentials.pairingNonce);
    if (settings.wantsTunnel())
        environment.insert(ngrokAuthtokenVariable, settings.ngrokAuthtoken.trimmed());
    else
        environment.remove(ngrokAuthtokenVariable);
    if (settings.mode == HostingMode::relay) {
        environment.insert(relayTokenVariable, credentials.relayToken);
        environment.insert(relaySessionVariable, credentials.relaySessionId);
    } else {
        environment.remove(relayTokenVariable);
        environment.remove(relaySessionVariable);
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

std::optional<QString> AgentLaunchPlan::locateAgent(const QString &applicationDir, const FileProbe &probe)
{
    // The copy beside the host is what the build and the package put there: taken as found, so a damaged
    // one fails loudly at launch instead of silently falling back to another copy.
    const QString besideHost = applicationDir + QLatin1Char('/') + AppBrand::agentExecutableName;
    if (probe.exists(besideHost))
        return besideHost;
    const QString libexec =
        QDir::cleanPath(applicationDir + QStringLiteral("/../libexec/") + AppBrand::agentExecutableName);
    if (probe.isExecutableFile(libexec))
        return libexec;
    return std::nullopt;
}
