#pragma once

#include "Platform/FileProbe.h"
#include "Services/Settings/HostCredentials.h"
#include "Services/Settings/HostingSettings.h"

#include <QProcessEnvironment>
#include <QStringList>

#include <optional>

// How the agent is launched, as pure functions of their inputs: nothing here starts a process or reads the
// host's own state.
namespace AgentLaunchPlan {

inline const QString defaultToolPath = QStringLiteral("/usr/bin:/bin:/usr/sbin:/sbin");

// The command line after the program name. Never carries a secret, nor the relay session or the host id
// (any local user can read a command line): those go through the environment, so the credentials are not
// even given here.
QStringList arguments(const HostingSettings &settings, const QString &relayCodecStatePath);

// The inherited environment with PATH widened and the pairing secrets and relay session set, or removed
// where the mode does not use them.
QProcessEnvironment environment(const HostingSettings &settings, const HostCredentials &credentials,
                                const QProcessEnvironment &inherited, const QString &home,
                                const FileProbe &probe);

// The inherited PATH (or a default when there is none) followed by the developer tool folders that exist
// and are not listed yet.
QString augmentedToolPath(const std::optional<QString> &base, const QString &home, const FileProbe &probe);

// <home>/.ferrowyn/relay-codec-state/<version>-<digest>.json (see relayCodecStateFileName); the caller
// creates the folder with makePrivateFolder.
QString relayCodecStateFolder(const QString &home);
QString relayCodecStatePath(const QString &home, const QString &hostId, const QString &session,
                            HostRelayVersion relayVersion);

// The agent shipped with the host: next to the host's executable (the build tree and a flat install), used
// as found, or where `cmake --install` puts it (<prefix>/libexec/ferrowyn beside <prefix>/bin) when it is
// executable there.
std::optional<QString> locateAgent(const QString &applicationDir, const FileProbe &probe);
// Where locateAgent looks, in its order.
QStringList agentCandidates(const QString &applicationDir);

} // namespace AgentLaunchPlan
