#pragma once

#include "Platform/UserDefaults.h"

#include <QJsonObject>

#include <functional>

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
    // True when a file was there but could not be read, so every value starts at its default.
    bool fileWasUnreadable() const { return m_fileWasUnreadable; }
    // Where that file was moved when it was loaded; empty when it was readable or could not be moved, in
    // which case nothing is written over it and changes stay in memory.
    QString backupPath() const { return m_backupPath; }
    // Why the latest write left the file as it was (a full disk), in plain words; empty once one succeeds.
    QString writeFailure() const { return m_writeFailure; }
    // Told the write failure at once and whenever it changes (empty: the file holds every value again).
    void setWriteReport(std::function<void(const QString &failure)> report);

private:
    // False when a file is there but cannot be read as a JSON object.
    bool load();
    void keepUnreadableFileAside();
    void write();

    QString m_path;
    QString m_backupPath;
    QJsonObject m_values;
    bool m_fileWasUnreadable = false;
    QString m_writeFailure;
    std::function<void(const QString &)> m_writeReport;
};
