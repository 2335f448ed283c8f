#include "Http/WaitingConnections.h"

WaitingConnections::WaitingConnections(int perSource, int total) : m_perSource(perSource), m_total(total) {}

std::optional<quint64> WaitingConnections::arrive(quint64 id, const QString &source, int perSource)
{
    std::optional<quint64> givesWay;
    if (m_waiting.value(source).size() >= perSource)
        givesWay = m_waiting.value(source).first();
    else if (count() >= m_total)
        givesWay = m_waiting.value(busiestSource()).first();
    if (givesWay)
        leave(*givesWay);
    m_waiting[source].append(id);
    m_sources.insert(id, source);
    return givesWay;
}

void WaitingConnections::leave(quint64 id)
{
    const auto found = m_sources.find(id);
    if (found == m_sources.end())
        return;
    const auto waiting = m_waiting.find(*found);
    waiting->removeOne(id);
    if (waiting->isEmpty())
        m_waiting.erase(waiting);
    m_sources.erase(found);
}

QString WaitingConnections::busiestSource() const
{
    // Among sources holding as many, the one whose oldest has waited longest (ids rise with arrival).
    QString busiest;
    qsizetype most = 0;
    quint64 oldest = 0;
    for (auto source = m_waiting.cbegin(); source != m_waiting.cend(); ++source) {
        const qsizetype held = source->size();
        if (held > most || (held == most && source->first() < oldest)) {
            busiest = source.key();
            most = held;
            oldest = source->first();
        }
    }
    return busiest;
}
