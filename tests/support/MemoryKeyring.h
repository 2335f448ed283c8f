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

    void read(const QString &service, const QString &account, QObject *context, ReadDone done) override
    {
        answer(context, [this, service, account, done](bool answered) {
            ReadResult result;
            if (failReads || (!failReadsOf.isEmpty() && account == failReadsOf))
                result = {ReadResult::Status::Error, {}, failure};
            else if (locked)
                result.status = ReadResult::Status::Locked;
            else if (m_items.contains({service, account}))
                result = {ReadResult::Status::Found, m_items.value({service, account}), {}};
            if (answered)
                done(result);
        });
    }
    void write(const QByteArray &data, const QString &service, const QString &account, QObject *context,
               Done done) override
    {
        ++writeCount;
        change(context, done, [this, data, service, account] { m_items.insert({service, account}, data); });
    }
    void remove(const QString &service, const QString &account, QObject *context, Done done) override
    {
        change(context, done, [this, service, account] { m_items.remove({service, account}); });
    }
    void unlock(QObject *context, Done done) override
    {
        answer(context, [this, done](bool answered) {
            locked = locked && unlockAnswer == UnlockAnswer::Dismiss;
            if (answered && done)
                done(locked ? stayedLockedError : QString());
        });
    }

    // At once, for setting up and checking a test.
    void put(const QString &service, const QString &account, const QByteArray &data)
    {
        m_items.insert({service, account}, data);
    }
    QByteArray value(const QString &service, const QString &account) const
    {
        return m_items.value({service, account});
    }

    // Answers every call held so far, in the order they were made.
    void answerNow()
    {
        for (const auto &call : std::exchange(m_held, {}))
            answerLater(m_lifetime.get(), call);
    }
    int heldCount() const { return static_cast<int>(m_held.size()); }

    // Locked: reads answer Locked and writes fail until unlock() is answered with Unlock.
    bool locked = false;
    UnlockAnswer unlockAnswer = UnlockAnswer::Unlock;
    bool failReads = false;
    QString failReadsOf; // one account whose reads fail, when not empty
    QString failure = QStringLiteral("keyring is locked");
    bool holdAnswers = false;
    int writeCount = 0;

private:
    // The call's effect and answer, run when it is answered. The effect takes place as in a real keyring,
    // whether or not the caller is still there to hear of it.
    void answer(QObject *context, std::function<void(bool answered)> effect)
    {
        auto call = [effect = std::move(effect), context = QPointer(context)] {
            effect(!context.isNull());
        };
        if (holdAnswers)
            m_held.append(std::move(call));
        else
            answerLater(m_lifetime.get(), std::move(call));
    }
    // A write or a removal: refused while locked.
    void change(QObject *context, Done done, std::function<void()> effect)
    {
        answer(context, [this, done, effect](bool answered) {
            if (!locked)
                effect();
            if (answered && done)
                done(locked ? failure : QString());
        });
    }

    QHash<QPair<QString, QString>, QByteArray> m_items;
    QList<std::function<void()>> m_held;
    // Answers not yet delivered go with it, so none reaches a keyring that is gone.
    std::unique_ptr<QObject> m_lifetime = std::make_unique<QObject>();
};
