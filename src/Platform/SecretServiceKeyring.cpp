#include "Platform/SecretServiceKeyring.h"

#include <QFileInfo>
#include <QPointer>
#include <QTimer>

// glib names a struct member "signals", which Qt defines as a keyword macro.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

namespace {

const SecretSchema *schema()
{
    static const SecretSchema genericPassword = {
        "dev.ferrowyn.host.GenericPassword",
        SECRET_SCHEMA_NONE,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return &genericPassword;
}

// Without a session bus libsecret may try to autolaunch one, which on a desktop can block on an unlock
// prompt nobody sees. Refuse up front instead: a keyring that is not there is an error, not a hang.
bool sessionBusReachable(QString *error)
{
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address.isEmpty())
        return true;
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty() &&
        QFileInfo::exists(QString::fromLocal8Bit(runtimeDir) + QStringLiteral("/bus")))
        return true;
    *error = QStringLiteral("no D-Bus session bus, so no system keyring");
    return false;
}

QString takeMessage(GError *gerror)
{
    QString message = QString::fromUtf8(gerror->message);
    g_error_free(gerror);
    return message;
}

// One call in flight. libsecret's completion owns it: the last step of the chain deletes it, also after the
// deadline answered for it, because a cancelled call still completes (with G_IO_ERROR_CANCELLED).
struct PendingCall {
    PendingCall(QObject *context, std::chrono::milliseconds limit) : context(context)
    {
        deadline->setSingleShot(true);
        QObject::connect(deadline, &QTimer::timeout, deadline, [this] {
            fail(SecretServiceKeyring::timedOutError);
            // Last: the cancelled call may complete, and delete this, from inside.
            g_cancellable_cancel(cancellable);
        });
        deadline->start(limit);
    }
    ~PendingCall()
    {
        // Later, since this may go while the timer is still delivering its timeout.
        deadline->disconnect();
        deadline->stop();
        deadline->deleteLater();
        g_object_unref(cancellable);
        if (service)
            g_object_unref(service);
        if (collection)
            g_object_unref(collection);
    }
    PendingCall(const PendingCall &) = delete;
    PendingCall &operator=(const PendingCall &) = delete;

    // The first answer counts; later ones (after a deadline) and answers to a gone context are dropped.
    void answer(const Keyring::ReadResult &result)
    {
        if (answered)
            return;
        answered = true;
        deadline->stop();
        if (!context)
            return;
        if (readDone)
            readDone(result);
        else if (done)
            done(result.status == Keyring::ReadResult::Status::Error ? result.error : QString());
    }
    void fail(const QString &error)
    {
        Keyring::ReadResult result;
        result.status = Keyring::ReadResult::Status::Error;
        result.error = error.isEmpty() ? QStringLiteral("the keyring failed") : error;
        answer(result);
    }
    void succeed() { answer({Keyring::ReadResult::Status::Found, {}, {}}); }

    QPointer<QObject> context;
    Keyring::ReadDone readDone;
    Keyring::Done done;
    GCancellable *cancellable = g_cancellable_new();
    QTimer *deadline = new QTimer;
    bool answered = false;
    SecretService *service = nullptr;
    SecretCollection *collection = nullptr;
    // What to do once the default collection is known.
    void (*withCollection)(PendingCall *) = nullptr;
};

void collectionFound(GObject *, GAsyncResult *result, gpointer data)
{
    auto *call = static_cast<PendingCall *>(data);
    GError *gerror = nullptr;
    call->collection = secret_collection_for_alias_finish(result, &gerror);
    if (gerror) {
        call->fail(takeMessage(gerror));
    } else if (!call->collection) {
        call->fail(QStringLiteral("the keyring has no default collection"));
    } else {
        call->withCollection(call);
        return;
    }
    delete call;
}

void serviceFound(GObject *, GAsyncResult *result, gpointer data)
{
    auto *call = static_cast<PendingCall *>(data);
    GError *gerror = nullptr;
    call->service = secret_service_get_finish(result, &gerror);
    if (gerror) {
        call->fail(takeMessage(gerror));
        delete call;
        return;
    }
    secret_collection_for_alias(call->service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                call->cancellable, collectionFound, call);
}

// Looks up the default collection, then hands the call to its next step.
void withDefaultCollection(PendingCall *call, void (*next)(PendingCall *))
{
    call->withCollection = next;
    secret_service_get(SECRET_SERVICE_NONE, call->cancellable, serviceFound, call);
}

void lookedUp(GObject *, GAsyncResult *result, gpointer data)
{
    auto *call = static_cast<PendingCall *>(data);
    GError *gerror = nullptr;
    // The binary variant, so an item that is not UTF-8 reaches the caller as bytes instead of failing here.
    SecretValue *value = secret_password_lookup_binary_finish(result, &gerror);
    if (gerror) {
        call->fail(takeMessage(gerror));
    } else if (value) {
        gsize length = 0;
        const gchar *bytes = secret_value_get(value, &length);
        call->answer(
            {Keyring::ReadResult::Status::Found, QByteArray(bytes, static_cast<qsizetype>(length)), {}});
        secret_value_unref(value);
    } else {
        // A locked collection answers "nothing" exactly like an unlocked one without the item: only the
        // collection's own state tells the two apart.
        withDefaultCollection(call, [](PendingCall *pending) {
            const bool locked = secret_collection_get_locked(pending->collection);
            pending->answer(
                {locked ? Keyring::ReadResult::Status::Locked : Keyring::ReadResult::Status::NotFound,
                 {},
                 {}});
            delete pending;
        });
        return;
    }
    delete call;
}

void unlocked(GObject *, GAsyncResult *result, gpointer data)
{
    auto *call = static_cast<PendingCall *>(data);
    GError *gerror = nullptr;
    GList *objects = nullptr;
    const gint count = secret_service_unlock_finish(call->service, result, &objects, &gerror);
    g_list_free_full(objects, g_object_unref);
    if (gerror)
        call->fail(takeMessage(gerror));
    else if (count < 1)
        call->fail(Keyring::stayedLockedError);
    else
        call->succeed();
    delete call;
}

void finishedStore(GObject *, GAsyncResult *result, gpointer data)
{
    auto *call = static_cast<PendingCall *>(data);
    GError *gerror = nullptr;
    const gboolean stored = secret_password_store_finish(result, &gerror);
    if (gerror)
        call->fail(takeMessage(gerror));
    else if (!stored)
        call->fail(QStringLiteral("the keyring did not store the item"));
    else
        call->succeed();
    delete call;
}

void finishedClear(GObject *, GAsyncResult *result, gpointer data)
{
    auto *call = static_cast<PendingCall *>(data);
    GError *gerror = nullptr;
    // FALSE without an error means there was nothing to remove, which is what the caller wanted.
    secret_password_clear_finish(result, &gerror);
    if (gerror)
        call->fail(takeMessage(gerror));
    else
        call->succeed();
    delete call;
}

// A call that cannot start answers with its reason on the next turn of the event loop.
bool refusedWithoutBus(QObject *context, const Keyring::Done &answer)
{
    QString error;
    if (sessionBusReachable(&error))
        return false;
    QMetaObject::invokeMethod(
        context,
        [answer, error] {
            if (answer)
                answer(error);
        },
        Qt::QueuedConnection);
    return true;
}

} // namespace

void SecretServiceKeyring::read(const QString &service, const QString &account, QObject *context,
                                ReadDone done)
{
    if (refusedWithoutBus(context, [done](const QString &error) {
            done({ReadResult::Status::Error, {}, error});
        }))
        return;
    auto *call = new PendingCall(context, m_limits.call);
    call->readDone = std::move(done);
    secret_password_lookup(schema(), call->cancellable, lookedUp, call, "service",
                           service.toUtf8().constData(), "account", account.toUtf8().constData(), nullptr);
}

void SecretServiceKeyring::write(const QByteArray &data, const QString &service, const QString &account,
                                 QObject *context, Done done)
{
    if (refusedWithoutBus(context, done))
        return;
    auto *call = new PendingCall(context, m_limits.prompt);
    call->done = std::move(done);
    // Keychain items are readable after the first unlock and never leave the device. The Secret Service has
    // no such class: items live in the default collection, which the session unlocks at login.
    SecretValue *value = secret_value_new(data.constData(), data.size(), "application/octet-stream");
    const QString label = service + QStringLiteral(" (") + account + QLatin1Char(')');
    secret_password_store_binary(schema(), SECRET_COLLECTION_DEFAULT, label.toUtf8().constData(), value,
                                 call->cancellable, finishedStore, call, "service",
                                 service.toUtf8().constData(), "account", account.toUtf8().constData(),
                                 nullptr);
    secret_value_unref(value);
}

void SecretServiceKeyring::remove(const QString &service, const QString &account, QObject *context, Done done)
{
    if (refusedWithoutBus(context, done))
        return;
    auto *call = new PendingCall(context, m_limits.prompt);
    call->done = std::move(done);
    secret_password_clear(schema(), call->cancellable, finishedClear, call, "service",
                          service.toUtf8().constData(), "account", account.toUtf8().constData(), nullptr);
}

void SecretServiceKeyring::unlock(QObject *context, Done done)
{
    if (refusedWithoutBus(context, done))
        return;
    auto *call = new PendingCall(context, m_limits.prompt);
    call->done = std::move(done);
    withDefaultCollection(call, [](PendingCall *pending) {
        GList *objects = g_list_append(nullptr, pending->collection);
        secret_service_unlock(pending->service, objects, pending->cancellable, unlocked, pending);
        g_list_free(objects);
    });
}
