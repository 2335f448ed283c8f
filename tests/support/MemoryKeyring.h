#pragma once

#include "Platform/Keyring.h"

#include <QHash>
#include <QPair>

// A keyring in memory whose failures a test can switch on.
class MemoryKeyring : public Keyring {
public:
    ReadResult read(const QString &service, const QString &account) override;
    bool write(const QByteArray &data, const QString &service, const QString &account,
               QString *error = nullptr) override;
    bool remove(const QString &service, const QString &account, QString *error = nullptr) override;

    bool contains(const QString &service, const QString &account) const;
    QByteArray value(const QString &service, const QString &account) const;
    int itemCount() const { return static_cast<int>(m_items.size()); }

    bool failReads = false;
    bool failWrites = false;
    int readCount = 0;
    int writeCount = 0;

private:
    QHash<QPair<QString, QString>, QByteArray> m_items;
};
