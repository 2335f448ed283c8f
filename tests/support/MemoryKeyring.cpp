#include "MemoryKeyring.h"

Keyring::ReadResult MemoryKeyring::read(const QString &service, const QString &account)
{
    ++readCount;
    ReadResult result;
    if (failReads) {
        result.status = ReadResult::Status::Error;
        result.error = QStringLiteral("keyring is locked");
        return result;
    }
    const auto it = m_items.constFind({service, account});
    if (it == m_items.cend())
        return result;
    result.status = ReadResult::Status::Found;
    result.data = *it;
    return result;
}

bool MemoryKeyring::write(const QByteArray &data, const QString &service, const QString &account,
                          QString *error)
{
    ++writeCount;
    if (failWrites) {
        if (error)
            *error = QStringLiteral("keyring is locked");
        return false;
    }
    m_items.insert({service, account}, data);
    return true;
}

bool MemoryKeyring::remove(const QString &service, const QString &account, QString *error)
{
    if (failWrites) {
        if (error)
            *error = QStringLiteral("keyring is locked");
        return false;
    }
    m_items.remove({service, account});
    return true;
}

bool MemoryKeyring::contains(const QString &service, const QString &account) const
{
    return m_items.contains({service, account});
}

QByteArray MemoryKeyring::value(const QString &service, const QString &account) const
{
    return m_items.value({service, account});
}
