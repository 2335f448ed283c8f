#pragma once

#include <QByteArray>
#include <QString>

// One generic password per (service, account), as the system keyring keeps them.
class Keyring {
public:
    struct ReadResult {
        enum class Status { Found, NotFound, Error };
        Status status = Status::NotFound;
        QByteArray data;
        QString error; // the keyring's own words, when status is Error

        bool found() const { return status == Status::Found; }
    };

    virtual ~Keyring() = default;

    virtual ReadResult read(const QString &service, const QString &account) = 0;
    // Creates the item or replaces its value. False with a reason when the keyring refused.
    virtual bool write(const QByteArray &data, const QString &service, const QString &account,
                       QString *error = nullptr) = 0;
    // A missing item counts as removed.
    virtual bool remove(const QString &service, const QString &account, QString *error = nullptr) = 0;
};
