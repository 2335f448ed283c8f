#include "Auth/AuthRefusalLog.h"

#include "AgentLog.h"

#include <algorithm>

namespace {
// Stands for every source beyond the first maxSources of an interval; no address looks like it.
const QString otherSources = QStringLiteral("other sources");
} // namespace

AuthRefusalLog::AuthRefusalLog(int intervalMs, Writer writer, QObject *parent)
    : QObject(parent), m_intervalMs(intervalMs), m_writer(std::move(writer))
{
    m_clock.start();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &AuthRefusalLog::closeWindows);
}

void AuthRefusalLog::refused(const QString &source, const QString &line)
{
    const QString &key = m_windows.contains(source) || m_windows.size() < maxSources ? source : otherSources;
    const auto it = m_windows.find(key);
    if (it != m_windows.end()) {
        ++it->unwritten;
        return;
    }
    if (key == otherSources) {
        m_windows.insert(key, {m_clock.elapsed() + m_intervalMs, 1});
    } else {
        write(line);
        m_windows.insert(key, {m_clock.elapsed() + m_intervalMs, 0});
    }
    schedule();
}

void AuthRefusalLog::closeWindows()
{
    const qint64 now = m_clock.elapsed();
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        if (it->endsMs > now) {
            ++it;
        } else if (it->unwritten == 0) {
            it = m_windows.erase(it);
        } else {
            write(QStringLiteral("auth rejected: %1: %2 more refused in the last %3 s")
                      .arg(it.key())
                      .arg(it->unwritten)
                      .arg(m_intervalMs / 1000.0));
            *it = {now + m_intervalMs, 0};
            ++it;
        }
    }
    schedule();
}

void AuthRefusalLog::schedule()
{
    if (m_windows.isEmpty()) {
        m_timer.stop();
        return;
    }
    const auto earliest =
        std::min_element(m_windows.cbegin(), m_windows.cend(),
                         [](const Window &a, const Window &b) { return a.endsMs < b.endsMs; });
    m_timer.start(static_cast<int>(std::max<qint64>(0, earliest->endsMs - m_clock.elapsed())));
}

void AuthRefusalLog::write(const QString &line) const
{
    if (m_writer)
        m_writer(line);
    else
        AgentLog::event(line);
}
