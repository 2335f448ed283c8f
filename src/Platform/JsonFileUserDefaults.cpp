#include "Platform/JsonFileUserDefaults.h"

#include "Shared/AtomicFileWriter.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>

#include <cmath>

namespace {

const QString dataTag = QStringLiteral("$data");

QJsonValue toJson(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString();
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return value.toLongLong();
    case QMetaType::Double:
        return value.toDouble();
    case QMetaType::QByteArray:
        return QJsonObject{{dataTag, QString::fromLatin1(value.toByteArray().toBase64())}};
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        QJsonArray array;
        for (const QVariant &element : value.toList())
            array.append(toJson(element));
        return array;
    }
    default:
        return QJsonValue::Undefined;
    }
}

QVariant fromJson(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Double: {
        const double number = value.toDouble();
        // Whole numbers within qint64 are integers; 8765.0 and 8765 are the same JSON number.
        if (std::trunc(number) == number && std::abs(number) < 9.0e18)
            return QVariant::fromValue<qint64>(value.toInteger());
        return number;
    }
    case QJsonValue::Array: {
        QVariantList list;
        for (const QJsonValue &element : value.toArray())
            list.append(fromJson(element));
        return list;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        if (object.size() == 1 && object.value(dataTag).isString())
            return QByteArray::fromBase64(object.value(dataTag).toString().toLatin1());
        return {};
    }
    default:
        return {};
    }
}

} // namespace

JsonFileUserDefaults::JsonFileUserDefaults(QString path) : m_path(std::move(path))
{
    if (!load())
        keepUnreadableFileAside();
}

QString JsonFileUserDefaults::standardPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/ferrowyn-host/defaults.json");
}

QVariant JsonFileUserDefaults::object(const QString &key) const
{
    return fromJson(m_values.value(key));
}

void JsonFileUserDefaults::setObject(const QString &key, const QVariant &value)
{
    const QJsonValue json = toJson(value);
    if (json.isUndefined()) {
        qWarning("user defaults: value of unsupported type %s for %s not stored", value.typeName(),
                 qPrintable(key));
        return;
    }
    m_values.insert(key, json);
    write();
}

void JsonFileUserDefaults::removeObject(const QString &key)
{
    if (!m_values.contains(key))
        return;
    m_values.remove(key);
    write();
}

bool JsonFileUserDefaults::load()
{
    if (m_path.isEmpty())
        return true;
    QFile file(m_path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("user defaults: %s cannot be opened (%s); starting empty", qPrintable(m_path),
                 qPrintable(file.errorString()));
        return false;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qWarning("user defaults: %s cannot be read (%s); starting empty", qPrintable(m_path),
                 qPrintable(error.errorString()));
        return false;
    }
    m_values = document.object();
    return true;
}

void JsonFileUserDefaults::keepUnreadableFileAside()
{
    m_fileWasUnreadable = true;
    // The user's pinned folders may be in there: move it aside at once, so the copy is there to be named
    // and nothing written later can replace it.
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString backup = m_path + QStringLiteral(".unreadable-") + stamp;
    // A copy kept aside earlier in the same second must not make this one fail to move.
    for (int n = 1; QFileInfo::exists(backup); ++n)
        backup = m_path + QStringLiteral(".unreadable-") + stamp + QLatin1Char('-') + QString::number(n);
    if (QFile::rename(m_path, backup))
        m_backupPath = backup;
    else
        qWarning("user defaults: could not move %s aside; changes stay in memory", qPrintable(m_path));
}

void JsonFileUserDefaults::setWriteReport(std::function<void(const QString &)> report)
{
    m_writeReport = std::move(report);
    if (m_writeReport)
        m_writeReport(m_writeFailure);
}

void JsonFileUserDefaults::write()
{
    // An unreadable file that could not be moved aside is the only copy of the user's settings.
    if (m_path.isEmpty() || (m_fileWasUnreadable && m_backupPath.isEmpty()))
        return;
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    // Every value stays in memory either way: a failed write costs the file nothing, and the next one that
    // succeeds saves them all.
    const QString failure =
        AtomicFileWriter::write(m_path, QJsonDocument(m_values).toJson(QJsonDocument::Indented))
            .value_or(QString());
    if (!failure.isEmpty())
        qWarning("user defaults: %s", qPrintable(failure));
    if (failure == m_writeFailure)
        return;
    m_writeFailure = failure;
    if (m_writeReport)
        m_writeReport(m_writeFailure);
}
