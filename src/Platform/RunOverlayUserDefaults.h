#pragma once

#include "Platform/UserDefaults.h"

#include <QHash>

#include <functional>

// The saved settings with some of them replaced for one run, as command-line options do: what is written
// while the overrides are applied stays in memory, and those keys keep living in memory for the rest of the
// run, so the saved file never learns of them. Every other key reads and writes through.
class RunOverlayUserDefaults : public UserDefaults {
public:
    explicit RunOverlayUserDefaults(UserDefaults &saved) : m_saved(saved) {}

    void overrideForThisRun(const std::function<void()> &apply);

    QVariant object(const QString &key) const override;
    void setObject(const QString &key, const QVariant &value) override;
    void removeObject(const QString &key) override;

private:
    UserDefaults &m_saved;
    QHash<QString, QVariant> m_overrides; // an invalid value stands for a removed key
    bool m_overriding = false;
};
