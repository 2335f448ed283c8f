#pragma once

#include <QString>

// The resume state of an elixirV2 relay link, kept in the file the host names with --relay-codec-state:
// the highest inbound sequence the agent has acknowledged, and the next sequence it will send.
struct RelayCodecState {
    qint64 lastAckedInbound = 0;
    qint64 nextOutbound = 1;

    // A missing file starts fresh. An unreadable or malformed one is moved aside (to a name ending in
    // ".corrupt-<UTC time>") and also starts fresh; `warning` then says what happened, without the path.
    static RelayCodecState load(const QString &path, QString *warning);
    // A state file kept under the name hosts used before takes the new name, so that an upgrade does not
    // start the sequences over, which the relay would take for replays. Does nothing when `path` exists.
    static void adoptEarlierFile(const QString &earlierPath, const QString &path);
    // Atomic: a crash leaves either the old or the new state, never a torn file. Missing folders are
    // created private.
    bool save(const QString &path, QString *error) const;

    bool operator==(const RelayCodecState &) const = default;
};
