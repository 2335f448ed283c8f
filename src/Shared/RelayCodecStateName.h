#pragma once

#include <QString>

// The file name of a relay link's resume state, which the host chooses and the agent reads its relay version
// from: "<version>-<digest>.json". The digest stands for the host id and the relay session, which must not
// appear on the agent's command line or in a folder listing: both are as good as secrets to a tablet.
QString relayCodecStateFileName(const QString &relayVersion, const QString &hostId, const QString &session);
