#include "Sessions/SessionRequests.h"

#include "Sessions/SessionLimits.h"

#include <QJsonDocument>

#include <cmath>

namespace {

const QString idKey = QStringLiteral("id");

ServiceError invalid(const QString &message)
{
    return ServiceError{QStringLiteral("invalid_params"), message};
}

// A whole number in [low, high], or none.
std::optional<qint64> wholeNumber(const QJsonValue &value, qint64 low, qint64 high)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (std::floor(number) != number || number < static_cast<double>(low) ||
        number > static_cast<double>(high))
        return std::nullopt;
    return static_cast<qint64>(number);
}

constexpr qint64 largestOffset = qint64(1) << 53;

QString message(const QString &method, const QJsonObject &params)
{
    return QString::fromUtf8(
        QJsonDocument(QJsonObject{{QStringLiteral("method"), method}, {QStringLiteral("params"), params}})
            .toJson(QJsonDocument::Compact));
}

} // namespace

SessionRequests::SessionRequests(SessionManager *manager, QString deviceId, QString deviceName,
                                 QObject *parent)
    : QObject(parent), m_manager(manager), m_deviceId(std::move(deviceId)),
      m_deviceName(std::move(deviceName))
{}

SessionRequests::~SessionRequests()
{
    for (const QString &id : std::as_const(m_attached)) {
        if (CodingSession *session = m_manager->find(id))
            session->detach(this);
    }
}

bool SessionRequests::handles(const QString &method)
{
    return method.startsWith(QLatin1String("session.")) || method.startsWith(QLatin1String("sessions."));
}

void SessionRequests::serve(const QString &method, const QJsonObject &params,
                            const std::function<void(const Answer &)> &answer)
{
    if (method == QLatin1String("sessions.programs")) {
        QJsonObject result{{QStringLiteral("programs"), m_manager->programs()},
                           {QStringLiteral("maxSessions"), SessionLimits::maxSessions}};
        if (!m_manager->problem().isEmpty())
            result.insert(QStringLiteral("unavailable"), m_manager->problem());
        return answer(result);
    }
    if (method == QLatin1String("sessions.list")) {
        QJsonArray sessions = m_manager->list();
        for (auto entry = sessions.begin(); entry != sessions.end(); ++entry) {
            QJsonObject object = entry->toObject();
            object.insert(QStringLiteral("attached"), m_attached.contains(object.value(idKey).toString()));
            *entry = object;
        }
        return answer(QJsonObject{{QStringLiteral("sessions"), sessions}});
    }
    if (method == QLatin1String("session.open")) {
        const QJsonValue folder = params.value(QStringLiteral("folder"));
        const QJsonValue program = params.value(QStringLiteral("program"));
        const auto columns = wholeNumber(params.value(QStringLiteral("cols")), SessionLimits::minColumns,
                                         SessionLimits::maxColumns);
        const auto rows =
            wholeNumber(params.value(QStringLiteral("rows")), SessionLimits::minRows, SessionLimits::maxRows);
        if (!folder.isString() || !program.isString() || !columns || !rows)
            return answer(invalid(QStringLiteral("session.open needs a folder, a program, cols and rows")));
        m_manager->open(
            folder.toString(), program.toString(), static_cast<int>(*columns), static_cast<int>(*rows),
            m_deviceId, m_deviceName, this,
            [this, answer, columns, rows](const std::variant<CodingSession *, ServiceError> &opened) {
                if (const auto *error = std::get_if<ServiceError>(&opened))
                    return answer(*error);
                CodingSession *session = std::get<CodingSession *>(opened);
                const auto attachment = session->attach(this, 0);
                session->resize(this, static_cast<int>(*columns), static_cast<int>(*rows));
                answer(attached(session, attachment));
            });
        return;
    }
    CodingSession *session = m_manager->find(params.value(idKey).toString());
    if (!session) {
        const QString id = params.value(idKey).toString();
        if (const auto how = m_manager->endOf(id))
            return answer(
                ServiceError{QStringLiteral("session_ended"), QStringLiteral("the session has ended"), *how});
        return answer(ServiceError{QStringLiteral("unknown_session"), QStringLiteral("no such session")});
    }
    if (method == QLatin1String("session.attach")) {
        const QJsonValue fromValue = params.value(QStringLiteral("from"));
        const auto from =
            fromValue.isUndefined() ? std::optional<qint64>(0) : wholeNumber(fromValue, 0, largestOffset);
        if (!from)
            return answer(invalid(QStringLiteral("from must be a byte offset")));
        return answer(attached(session, session->attach(this, *from)));
    }
    if (method == QLatin1String("session.end")) {
        session->end(QStringLiteral("ended"));
        return answer(QJsonObject{{QStringLiteral("ending"), true}});
    }
    if (!m_attached.contains(session->info().id))
        return answer(
            ServiceError{QStringLiteral("not_attached"), QStringLiteral("attach to the session first")});
    if (method == QLatin1String("session.detach")) {
        m_attached.remove(session->info().id);
        session->detach(this);
        return answer(QJsonObject{{QStringLiteral("detached"), true}});
    }
    if (method == QLatin1String("session.input"))
        return answer(input(session, params));
    if (method == QLatin1String("session.ack")) {
        const auto offset = wholeNumber(params.value(QStringLiteral("offset")), 0, largestOffset);
        if (!offset)
            return answer(invalid(QStringLiteral("offset must be a byte offset")));
        session->acknowledge(this, *offset);
        return answer(std::monostate());
    }
    if (method == QLatin1String("session.resize")) {
        const auto columns = wholeNumber(params.value(QStringLiteral("cols")), SessionLimits::minColumns,
                                         SessionLimits::maxColumns);
        const auto rows =
            wholeNumber(params.value(QStringLiteral("rows")), SessionLimits::minRows, SessionLimits::maxRows);
        if (!columns || !rows)
            return answer(invalid(QStringLiteral("cols and rows must be whole numbers within the limits")));
        session->resize(this, static_cast<int>(*columns), static_cast<int>(*rows));
        return answer(QJsonObject{{QStringLiteral("cols"), *columns}, {QStringLiteral("rows"), *rows}});
    }
    answer(ServiceError{QStringLiteral("method_not_found"), QStringLiteral("unknown method")});
}

SessionRequests::Answer SessionRequests::attached(CodingSession *session,
                                                  const CodingSession::Attachment &attachment)
{
    m_attached.insert(session->info().id);
    return QJsonObject{{QStringLiteral("session"), session->describe()},
                       {QStringLiteral("from"), attachment.from},
                       {QStringLiteral("dropped"), attachment.dropped}};
}

SessionRequests::Answer SessionRequests::input(CodingSession *session, const QJsonObject &params)
{
    const QJsonValue text = params.value(QStringLiteral("data"));
    const QJsonValue encoded = params.value(QStringLiteral("base64"));
    QByteArray bytes;
    if (text.isString() && encoded.isUndefined()) {
        bytes = text.toString().toUtf8();
    } else if (encoded.isString() && text.isUndefined()) {
        const auto decoded = QByteArray::fromBase64Encoding(encoded.toString().toLatin1(),
                                                            QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return invalid(QStringLiteral("base64 is not valid base64"));
        bytes = *decoded;
    } else {
        return invalid(QStringLiteral("session.input needs either data or base64"));
    }
    if (bytes.size() > SessionLimits::maxInputBytes)
        return ServiceError{QStringLiteral("input_too_large"),
                            QStringLiteral("one message carries at most %1 bytes of keystrokes")
                                .arg(SessionLimits::maxInputBytes)};
    if (const auto error = session->input(this, bytes))
        return *error;
    return std::monostate();
}

void SessionRequests::sessionOutput(const QString &id, qint64 offset, const QByteArray &bytes)
{
    emit notify(message(QStringLiteral("session.output"),
                        QJsonObject{{idKey, id},
                                    {QStringLiteral("offset"), offset},
                                    {QStringLiteral("data"), QString::fromLatin1(bytes.toBase64())}}));
}

void SessionRequests::resumeOutput()
{
    const QSet<QString> attached = m_attached;
    for (const QString &id : attached) {
        if (CodingSession *session = m_manager->find(id))
            session->resume();
    }
}

void SessionRequests::sessionEnded(const QString &id, const QJsonObject &how)
{
    m_attached.remove(id);
    QJsonObject params = how;
    params.insert(idKey, id);
    emit notify(message(QStringLiteral("session.ended"), params));
}

void SessionRequests::sessionResized(const QString &id, int columns, int rows)
{
    emit notify(
        message(QStringLiteral("session.resized"),
                QJsonObject{{idKey, id}, {QStringLiteral("cols"), columns}, {QStringLiteral("rows"), rows}}));
}
