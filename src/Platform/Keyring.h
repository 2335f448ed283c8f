#pragma once

#include <QByteArray>
#include <QMetaObject>
#include <QObject>
#include <QString>

#include <functional>

// One generic password per (service, account), as the system keyring keeps them. Every call answers later on
// the main thread, never from inside the call, and only while its context object still exists: a keyring may
// sit behind an unlock prompt for minutes, and nothing may wait for it.
class Keyring {
public:
    struct ReadResult {
        // Locked: the keyring could not say whether the item exists until it is unlocked.
        enum class Status { Found, NotFound, Locked, Error };
        Status status = Status::NotFound;
        QByteArray data;
        QString error; // the keyring's own words, when status is Error

        bool found() const { return status == Status::Found; }
    };
    using ReadDone = std::function<void(const ReadResult &)>;
    // Empty when the call succeeded, otherwise the keyring's reason.
    using Done = std::function<void(const QString &error)>;

    inline static const QString stayedLockedError = QStringLiteral("the keyring stayed locked");

    virtual ~Keyring() = default;

    virtual void read(const QString &service, const QString &account, QObject *context, ReadDone done) = 0;
    // Creates the item or replaces its value.
    virtual void write(const QByteArray &data, const QString &service, const QString &account,
                       QObject *context, Done done) = 0;
    // A missing item counts as removed.
    virtual void remove(const QString &service, const QString &account, QObject *context, Done done) = 0;
    // Asks the desktop to unlock the default collection, which may show its prompt. Dismissed is an error.
    virtual void unlock(QObject *context, Done done) = 0;

protected:
    // Runs an answer on the next turn of the context's event loop, dropped with the context.
    static void answerLater(QObject *context, std::function<void()> answer)
    {
        QMetaObject::invokeMethod(context, std::move(answer), Qt::QueuedConnection);
    }
};
