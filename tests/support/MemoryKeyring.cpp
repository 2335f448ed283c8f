#include "MemoryKeyring.h"

void MemoryKeyring::answer(QObject *context, std::function<void(bool)> effect)
{
    // The effect takes place as in a real keyring, whether or not the caller is still there to hear of it.
    auto call = [effect = std::move(effect), context = QPointer(context)] {
        effect(!context.isNull());
    };
    if (holdAnswers)
        m_held.append(std::move(call));
    else
        answerLater(m_lifetime.get(), std::move(call));
}

void MemoryKeyring::answerNow()
{
    for (const auto &call : std::exchange(m_held, {}))
        answerLater(m_lifetime.get(), call);
}

void MemoryKeyring::read(const QString &service, const QString &account, QObject *context, ReadDone done)
{
    ++readCount;
    answer(context, [this, service, account, done](bool answered) {
        ReadResult result;
        if (failReads || (!failReadsOf.isEmpty() && account == failReadsOf)) {
            result.status = ReadResult::Status::Error;
            result.error = failure;
        } else if (locked) {
            result.status = ReadResult::Status::Locked;
        } else if (const auto it = m_items.constFind({service, account}); it != m_items.cend()) {
            result.status = ReadResult::Status::Found;
            result.data = *it;
        }
        if (answered)
            done(result);
    });
}

void MemoryKeyring::write(const QByteArray &data, const QString &service, const QString &account,
                          QObject *context, Done done)
{
    ++writeCount;
    answer(context, [this, data, service, account, done](bool answered) {
        const bool refused = failWrites || locked;
        if (!refused)
            m_items.insert({service, account}, data);
        if (answered && done)
            done(refused ? failure : QString());
    });
}

void MemoryKeyring::remove(const QString &service, const QString &account, QObject *context, Done done)
{
    answer(context, [this, service, account, done](bool answered) {
        const bool refused = failWrites || locked;
        if (!refused)
            m_items.remove({service, account});
        if (answered && done)
            done(refused ? failure : QString());
    });
}

void MemoryKeyring::unlock(QObject *context, Done done)
{
    ++unlockCount;
    answer(context, [this, done](bool answered) {
        if (unlockAnswer == UnlockAnswer::Unlock)
            locked = false;
        if (answered && done)
            done(locked ? stayedLockedError : QString());
    });
}

void MemoryKeyring::put(const QString &service, const QString &account, const QByteArray &data)
{
    m_items.insert({service, account}, data);
}

void MemoryKeyring::erase(const QString &service, const QString &account)
{
    m_items.remove({service, account});
}

bool MemoryKeyring::contains(const QString &service, const QString &account) const
{
    return m_items.contains({service, account});
}

QByteArray MemoryKeyring::value(const QString &service, const QString &account) const
{
    return m_items.value({service, account});
}
