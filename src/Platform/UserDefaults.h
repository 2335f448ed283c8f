#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

// A key-value store that keeps the type of every value, so a reader can tell a value of the wrong type
// from a missing key. Values are strings, integers, booleans, arrays of strings or data bytes.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;

    // An invalid QVariant when the key is absent. Integers come back as qint64, arrays as QVariantList
    // (whose elements keep their own types), data as QByteArray.
    virtual QVariant object(const QString &key) const = 0;
    virtual void setObject(const QString &key, const QVariant &value) = 0;
    virtual void removeObject(const QString &key) = 0;

    std::optional<QString> string(const QString &key) const;
    std::optional<qint64> integer(const QString &key) const;
    std::optional<bool> boolean(const QString &key) const;
    // None when the value is not an array; elements that are not strings are left out.
    std::optional<QStringList> stringArray(const QString &key) const;
    std::optional<QByteArray> data(const QString &key) const;

    void setString(const QString &key, const QString &value) { setObject(key, value); }
    void setInteger(const QString &key, qint64 value) { setObject(key, value); }
    void setBoolean(const QString &key, bool value) { setObject(key, value); }
    void setStringArray(const QString &key, const QStringList &value);
    void setData(const QString &key, const QByteArray &value) { setObject(key, value); }
};
