#pragma once

#include <QHash>
#include <QList>
#include <QString>

#include <optional>

// The connections that have not authenticated yet, by where they come from, and which one gives way when
// another arrives. No source keeps more than `perSource` waiting and all of them together no more than
// `total`: past either, the oldest waiting connection of that source (or, at the total, of the source
// holding the most) is closed so that the newcomer is heard. Whoever opens connections without
// authenticating thus only ever displaces their own, and a tablet that authenticates at once is never
// held out.
class WaitingConnections {
public:
    // A few per source: a tablet needs one, a page reloading or a flaky link a couple more.
    static constexpr int perSourceLimit = 4;
    static constexpr int totalLimit = 64;

    explicit WaitingConnections(int perSource = perSourceLimit, int total = totalLimit);

    // Records connection `id` from `source`; the connection that must give way for it, if any (never `id`).
    std::optional<quint64> arrive(quint64 id, const QString &source)
    {
        return arrive(id, source, m_perSource);
    }
    // The same with this source allowed `perSource` instead.
    std::optional<quint64> arrive(quint64 id, const QString &source, int perSource);
    // Connection `id` authenticated, was refused or is gone; unknown ids are ignored.
    void leave(quint64 id);
    int count() const { return static_cast<int>(m_sources.size()); }

private:
    QString busiestSource() const;

    int m_perSource;
    int m_total;
    // Oldest first.
    QHash<QString, QList<quint64>> m_waiting;
    QHash<quint64, QString> m_sources;
};
