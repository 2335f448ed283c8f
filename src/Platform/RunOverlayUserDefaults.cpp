#include "Platform/RunOverlayUserDefaults.h"

void RunOverlayUserDefaults::overrideForThisRun(const std::function<void()> &apply)
{
    m_overriding = true;
    apply();
    m_overriding = false;
}

QVariant RunOverlayUserDefaults::object(const QString &key) const
{
    const auto it = m_overrides.constFind(key);
    return it != m_overrides.cend() ? *it : m_saved.object(key);
}

void RunOverlayUserDefaults::setObject(const QString &key, const QVariant &value)
{
    if (m_overriding || m_overrides.contains(key))
        m_overrides.insert(key, value);
    else
        m_saved.setObject(key, value);
}

void RunOverlayUserDefaults::removeObject(const QString &key)
{
    if (m_overriding || m_overrides.contains(key))
        m_overrides.insert(key, QVariant());
    else
        m_saved.removeObject(key);
}
