#include "Relay/RelayCodec.h"

#include "AgentLog.h"
#include "Shared/AgentStorageReport.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

std::optional<qint64> sequenceOf(const QJsonObject &frame)
{
    const QJsonValue seq = frame.value(QStringLiteral("seq"));
    if (!seq.isDouble() || seq.toDouble() != static_cast<double>(seq.toInteger()) || seq.toInteger() < 1)
        return std::nullopt;
    return seq.toInteger();
}

} // namespace

RelayCodec::RelayCodec(HostRelayVersion version, QString statePath)
    : m_version(version), m_statePath(std::move(statePath))
{
    if (resumable() && !m_statePath.isEmpty()) {
        m_state = RelayCodecState::load(m_statePath, &m_loadWarning);
        // The file kept aside is replaced at once by a sound fresh one.
        if (!m_loadWarning.isEmpty())
            persist();
    }
}

QString RelayCodec::hello() const
{
    QJsonObject frame{{QStringLiteral("type"), QStringLiteral("hello")},
                      {QStringLiteral("role"), QStringLiteral("host")},
                      {QStringLiteral("version"), rawValue(m_version)}};
    if (resumable())
        frame.insert(QStringLiteral("resumeFrom"), m_state.lastAckedInbound);
    return compact(frame);
}

RelayCodec::Inbound RelayCodec::decode(const QString &text)
{
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    const QJsonObject frame = document.object();
    const QString type = frame.value(QStringLiteral("type")).toString();
    Inbound inbound;
    if (!document.isObject()) {
        inbound.problem = QStringLiteral("not a JSON object");
        return inbound;
    }
    inbound.peer = frame.value(QStringLiteral("peer")).toString();
    if (resumable()) {
        const std::optional<qint64> seq = sequenceOf(frame);
        if (!seq) {
            inbound.problem = QStringLiteral("no \"seq\" that is a whole number from 1");
            return inbound;
        }
        inbound.seq = *seq;
        if (type == QLatin1String("ack")) {
            m_unacknowledged.removeIf([&](const auto &entry) { return entry.first <= *seq; });
            inbound.kind = Inbound::relayAck;
            return inbound;
        }
        if (*seq <= m_state.lastAckedInbound) {
            inbound.kind = Inbound::duplicate;
            return inbound;
        }
    }
    if (type != QLatin1String("data") && type != QLatin1String("peer.closed")) {
        inbound.problem = QStringLiteral("unknown \"type\"");
    } else if (inbound.peer.isEmpty()) {
        inbound.problem = QStringLiteral("\"peer\" is not a non-empty string");
    } else if (type == QLatin1String("peer.closed")) {
        inbound.kind = Inbound::peerClosed;
    } else if (!frame.value(QStringLiteral("payload")).isString()) {
        inbound.problem = QStringLiteral("\"payload\" is not a string");
    } else {
        inbound.kind = Inbound::data;
        inbound.payload = frame.value(QStringLiteral("payload")).toString();
    }
    return inbound;
}

QString RelayCodec::encodeData(const QString &peer, const QString &payload)
{
    return encode(QJsonObject{{QStringLiteral("type"), QStringLiteral("data")},
                              {QStringLiteral("peer"), peer},
                              {QStringLiteral("payload"), payload}});
}

QString RelayCodec::encodeClose(const QString &peer, int code, const QString &reason)
{
    return encode(QJsonObject{{QStringLiteral("type"), QStringLiteral("close")},
                              {QStringLiteral("peer"), peer},
                              {QStringLiteral("code"), code},
                              {QStringLiteral("reason"), reason}});
}

QString RelayCodec::acknowledge(qint64 seq)
{
    if (!resumable())
        return {};
    if (seq > m_state.lastAckedInbound) {
        m_state.lastAckedInbound = seq;
        persist();
    }
    return compact(
        QJsonObject{{QStringLiteral("type"), QStringLiteral("ack")}, {QStringLiteral("seq"), seq}});
}

QStringList RelayCodec::unacknowledgedOutbound() const
{
    QStringList frames;
    for (const auto &entry : m_unacknowledged)
        frames.append(entry.second);
    return frames;
}

QString RelayCodec::encode(QJsonObject frame)
{
    if (!resumable())
        return compact(frame);
    const qint64 seq = m_state.nextOutbound++;
    frame.insert(QStringLiteral("seq"), seq);
    const QString text = compact(frame);
    m_unacknowledged.append({seq, text});
    if (m_unacknowledged.size() > maxUnacknowledged)
        m_unacknowledged.removeFirst();
    persist();
    return text;
}

void RelayCodec::persist()
{
    if (m_statePath.isEmpty())
        return;
    QString error;
    const bool saved = m_state.save(m_statePath, &error);
    // Every frame saves the state: a disk that stays full is told once, and again when it is over.
    if (saved == m_stateSaved)
        return;
    m_stateSaved = saved;
    if (saved)
        AgentLog::event(AgentStorageReport::recovered(AgentStorageReport::relayCodecState));
    else
        AgentLog::error(AgentStorageReport::failed(AgentStorageReport::relayCodecState,
                                                   QStringLiteral("until it can, a restart would make the "
                                                                  "relay take new frames for replays (%1)")
                                                       .arg(error)));
}
