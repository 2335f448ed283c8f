#pragma once

#include "Platform/Keyring.h"

#include <QHash>
#include <QList>
#include <QPair>
#include <QPointer>

#include <memory>

// A keyring in memory whose failures a test can switch on. It answers on the next turn of the event loop, or,
// while holdAnswers is set, only when the test calls answerNow(), so a test can look at the waiting phase.
class MemoryKeyring : public Keyring {
public:
    enum class UnlockAnswer { Unlock, Dismiss };

    void read(const QString &service, const QString &account, QObject *context, ReadDone done) override;
    void write(const QByteArray &data, const QString &service, const QString &account, QObject *context,
               Done done) override;
    void remove(const QString &service, const QString &account, QObject *context, Done done) override;
    void unlock(QObject *context, Done done) override;

    // At once, for setting up and checking a test.
    void put(const QString &service, const QString &account, const QByteArray &data);
    void erase(const QString &service, const QString &account);
    bool contains(const QString &service, const QString &account) const;
    QByteArray value(const QString &service, const QString &account) const;
    int itemCount() const { return static_cast<int>(m_items.size()); }

    // Answers every call held so far, in the order they were made.
    void answerNow();
    int heldCount() const { return static_cast<int>(m_held.size()); }

    // Locked: reads answer Locked and writes fail until unlock() is answered with Unlock.
    bool locked = false;
    UnlockAnswer unlockAnswer = UnlockAnswer::Unlock;
    bool failReads = false;
    QString failReadsOf; // one account whose reads fail, when not empty
    bool failWrites = false;
    QString failure = QStringLiteral("keyring is locked");
    bool holdAnswers = false;
    int readCount = 0;
    int writeCount = 0;
    int unlockCount = 0;

private:
    // The call's effect and answer, run when it is answered.
    void answer(QObject *context, std::function<void(bool answered)> effect);

    QHash<QPair<QString, QString>, QByteArray> m_items;
    QList<std::function<void()>> m_held;
    // Answers not yet delivered go with it, so none reaches a keyring that is gone.
    std::unique_ptr<QObject> m_lifetime = std::make_unique<QObject>();
};
