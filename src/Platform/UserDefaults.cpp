#include "Platform/UserDefaults.h"

std::optional<QString> UserDefaults::string(const QString &key) const
{
    const QVariant value = object(key);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

std::optional<qint64> UserDefaults::integer(const QString &key) const
{
    const QVariant value = object(key);
    if (value.typeId() != QMetaType::LongLong)
        return std::nullopt;
    return value.toLongLong();
}

std::optional<bool> UserDefaults::boolean(const QString &key) const
{
    const QVariant value = object(key);
    if (value.typeId() != QMetaType::Bool)
        return std::nullopt;
    return value.toBool();
}

std::optional<QStringList> UserDefaults::stringArray(const QString &key) const
{
    const QVariant value = object(key);
    if (value.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    QStringList strings;
    for (const QVariant &element : value.toList()) {
        // One damaged element must not cost the others: the next write would store the list without them.
        if (element.typeId() == QMetaType::QString)
            strings.append(element.toString());
        else
            qWarning("user defaults: %s holds an element that is not a string; it is left out",
                     qPrintable(key));
    }
    return strings;
}

std::optional<QByteArray> UserDefaults::data(const QString &key) const
{
    const QVariant value = object(key);
    if (value.typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return value.toByteArray();
}

void UserDefaults::setStringArray(const QString &key, const QStringList &value)
{
    QVariantList list;
    list.reserve(value.size());
    for (const QString &element : value)
        list.append(element);
    setObject(key, list);
}
