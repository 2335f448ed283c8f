#pragma once

#include "Platform/UserDefaults.h"

#include <QJsonObject>

// User defaults kept as one JSON object in a file, rewritten atomically on every change. JSON keeps the
// distinction between strings, numbers, booleans and arrays; data bytes are stored as {"$data": base64}.
// An empty path keeps everything in memory, which is what tests want when the file itself is not the point.
class JsonFileUserDefaults : public UserDefaults {
public:
    explicit JsonFileUserDefaults(QString path = {});

    // ~/.config/ferrowyn-host/defaults.json (honouring XDG_CONFIG_HOME).
    static QString standardPath();

    QVariant object(const QString &key) const override;
    void setObject(const QString &key, const QVariant &value) override;
    void removeObject(const QString &key) override;

    QString path() const { return m_path; }
    // Where an unreadable file was moved before it was first overwritten; empty when none was.
    QString backupPath() const { return m_backupPath; }

private:
    void load();
    void write();

    QString m_path;
    QString m_backupPath;
    QJsonObject m_values;
    bool m_keepUnreadableFile = false;
};
