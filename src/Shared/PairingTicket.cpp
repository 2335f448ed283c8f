#include "Shared/PairingTicket.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <array>

namespace {

// Keeps a mac made for anything else from ever standing for a ticket.
const QByteArray label("ferrowyn-pairing-ticket-1");
constexpr auto base64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;
constexpr qsizetype maxExpiryDigits = 12;

QString encoded(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64(base64Url));
}

std::optional<QByteArray> decoded(QStringView text, qsizetype bytes)
{
    // Base64 without padding: every length but this one decodes to another number of bytes, and a last
    // character with bits to spare would give a second text for the same bytes.
    if (text.size() != (bytes * 4 + 2) / 3)
        return std::nullopt;
    for (const QChar c : text) {
        if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != QLatin1Char('-') && c != QLatin1Char('_'))
            return std::nullopt;
    }
    const QByteArray result = QByteArray::fromBase64(text.toLatin1(), base64Url);
    if (result.size() != bytes || encoded(result) != text)
        return std::nullopt;
    return result;
}

} // namespace

namespace PairingTicket {

QString newSerial()
{
    std::array<quint32, (serialBytes + 3) / 4> words{};
    QRandomGenerator::system()->generate(words.begin(), words.end());
    return encoded(QByteArray(reinterpret_cast<const char *>(words.data()), serialBytes));
}

QByteArray mac(const QString &pairingNonce, const QString &hostId, qint64 expiresAt, const QString &serial)
{
    QMessageAuthenticationCode code(QCryptographicHash::Sha256, pairingNonce.toUtf8());
    for (const QByteArray &part :
         {label, hostId.toUtf8(), QByteArray::number(expiresAt), serial.toLatin1()}) {
        code.addData(part);
        code.addData("\n", 1);
    }
    return code.result().first(macBytes);
}

std::optional<QString> make(const QString &pairingNonce, const QString &hostId, qint64 expiresAt,
                            const QString &serial)
{
    if (expiresAt < 0 || !decoded(serial, serialBytes))
        return std::nullopt;
    return QString::number(expiresAt) + QLatin1Char('.') + serial + QLatin1Char('.') +
           encoded(mac(pairingNonce, hostId, expiresAt, serial));
}

std::optional<Parts> parse(QStringView ticket)
{
    const qsizetype first = ticket.indexOf(QLatin1Char('.'));
    const qsizetype second = first < 0 ? -1 : ticket.indexOf(QLatin1Char('.'), first + 1);
    if (first < 1 || first > maxExpiryDigits || second < 0)
        return std::nullopt;
    const QStringView expiry = ticket.first(first);
    if (expiry.size() > 1 && expiry.front() == QLatin1Char('0'))
        return std::nullopt;
    qint64 expiresAt = 0;
    for (const QChar c : expiry) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        expiresAt = expiresAt * 10 + (c.unicode() - u'0');
    }
    const QStringView serial = ticket.sliced(first + 1, second - first - 1);
    const std::optional<QByteArray> mac = decoded(ticket.sliced(second + 1), macBytes);
    if (!decoded(serial, serialBytes) || !mac)
        return std::nullopt;
    return Parts{expiresAt, serial.toString(), *mac};
}

} // namespace PairingTicket
