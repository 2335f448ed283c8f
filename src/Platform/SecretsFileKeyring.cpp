#include "Platform/SecretsFileKeyring.h"

#include "Platform/PrivateFileCheck.h"
#include "Shared/AtomicFileWriter.h"
#include "Shared/FileAside.h"
#include "Shared/PrivateFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString itemKey(const QString &service, const QString &account)
{
    return service + QLatin1Char('/') + account;
}

} // namespace

SecretsFileKeyring::SecretsFileKeyring(QString path) : m_path(std::move(path))
{
    load();
}

QString SecretsFileKeyring::standardPath()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/ferrowyn-host/credentials.json");
}

void SecretsFileKeyring::load()
{
    // A file others can read is no secret any more, and one another user owns or can change may not be
    // theirs to give: used as it is, neither would be said. Refused and left as it is, with how to mend it.
    if (const std::optional<QString> refusal =
            PrivateFileCheck::check(QStringLiteral("The secrets file"), m_path)) {
        m_loadError = *refusal;
        return;
    }
    QFile file(m_path);
    if (!file.exists())
        return;
    QJsonParseError parseError;
    const QJsonDocument document = file.open(QIODevice::ReadOnly)
                                       ? QJsonDocument::fromJson(file.readAll(), &parseError)
                                       : QJsonDocument();
    file.close();
    if (!document.isObject()) {
        // Starting from nothing would pair anew and then overwrite the only copy of the old pairing.
        if (const std::optional<QString> aside = moveDamagedFileAside(m_path))
            m_movedAsidePath = *aside;
        else
            m_loadError = QStringLiteral("cannot read or move aside %1").arg(m_path);
        return;
    }
    const QJsonObject items = document.object();
    for (auto it = items.begin(); it != items.end(); ++it) {
        // A damaged entry costs only itself.
        const QByteArray encoded = it.value().toString().toLatin1();
        const auto decoded = QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
        if (it.value().isString() && decoded)
            m_items.insert(it.key(), *decoded);
    }
}

QString SecretsFileKeyring::save()
{
    if (!m_loadError.isEmpty())
        return m_loadError;
    QJsonObject items;
    for (auto it = m_items.cbegin(); it != m_items.cend(); ++it)
        items.insert(it.key(), QString::fromLatin1(it.value().toBase64()));
    // Owner-only from the first byte, and the pairing in the file survives a write that fails.
    const QString failure =
        makePrivateFolder(QFileInfo(m_path).absolutePath())
            ? AtomicFileWriter::write(m_path, QJsonDocument(items).toJson()).value_or(QString())
            : QStringLiteral("cannot create the folder of %1").arg(m_path);
    if (m_saveReport)
        m_saveReport(failure);
    return failure;
}

void SecretsFileKeyring::read(const QString &service, const QString &account, QObject *context, ReadDone done)
{
    ReadResult result;
    if (!m_loadError.isEmpty()) {
        result.status = ReadResult::Status::Error;
        result.error = m_loadError;
    } else if (const auto it = m_items.constFind(itemKey(service, account)); it != m_items.cend()) {
        result.status = ReadResult::Status::Found;
        result.data = *it;
    }
    answerLater(context, [done = std::move(done), result] { done(result); });
}

void SecretsFileKeyring::write(const QByteArray &data, const QString &service, const QString &account,
                               QObject *context, Done done)
{
    const QString key = itemKey(service, account);
    const std::optional<QByteArray> previous =
        m_items.contains(key) ? std::optional(m_items.value(key)) : std::nullopt;
    m_items.insert(key, data);
    const QString error = save();
    if (!error.isEmpty()) {
        // What the file holds is what the keyring holds.
        if (previous)
            m_items.insert(key, *previous);
        else
            m_items.remove(key);
    }
    answerLater(context, [done = std::move(done), error] { done(error); });
}

void SecretsFileKeyring::remove(const QString &service, const QString &account, QObject *context, Done done)
{
    const QString key = itemKey(service, account);
    QString error;
    if (m_items.contains(key)) {
        const QByteArray previous = m_items.take(key);
        error = save();
        if (!error.isEmpty())
            m_items.insert(key, previous);
    }
    answerLater(context, [done = std::move(done), error] { done(error); });
}

void SecretsFileKeyring::unlock(QObject *context, Done done)
{
    answerLater(context, [done = std::move(done)] { done({}); });
}
