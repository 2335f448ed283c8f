#pragma once

#include "Relay/RelayCodecState.h"

#include "Shared/HostingMode.h"

#include <QList>
#include <QString>

// The frames between the agent and a relay (see PROTOCOL.md). goV1 simply forwards tablet messages;
// elixirV2 numbers them both ways, so that after a reconnect the relay replays what the agent has not
// acknowledged and the agent resends what the relay has not.
class RelayCodec {
public:
    struct Inbound {
        enum Kind { data, peerClosed, relayAck, duplicate, invalid } kind = invalid;
        QString peer;
        QString payload;
        qint64 seq = 0;
        // Why an invalid frame is not taken, in words for the log (never its content).
        QString problem;
    };

    // `statePath` may be empty: the resume state then lives only as long as the process.
    RelayCodec(HostRelayVersion version, QString statePath);

    HostRelayVersion version() const { return m_version; }
    bool resumable() const { return m_version == HostRelayVersion::elixirV2; }
    // What loading the state file had to say (an unreadable file kept aside); empty when all was well.
    QString loadWarning() const { return m_loadWarning; }
    const RelayCodecState &state() const { return m_state; }

    // The first frame on every new relay connection.
    QString hello() const;
    Inbound decode(const QString &frame);
    QString encodeData(const QString &peer, const QString &payload);
    QString encodeClose(const QString &peer, int code, const QString &reason);
    // Records that an inbound frame has been handled and returns the acknowledgement to send; empty for goV1.
    QString acknowledge(qint64 seq);
    // Frames sent but not yet acknowledged by the relay, oldest first, for resending after a reconnect.
    QStringList unacknowledgedOutbound() const;

    static constexpr qsizetype maxUnacknowledged = 256;

private:
    QString encode(QJsonObject frame);
    void persist();

    HostRelayVersion m_version;
    QString m_statePath;
    QString m_loadWarning;
    RelayCodecState m_state;
    QList<std::pair<qint64, QString>> m_unacknowledged;
    bool m_stateSaved = true; // the latest save succeeded
};
