#pragma once

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

#include <optional>

// The text of bytes that are valid UTF-8 as a whole, or none.
inline std::optional<QString> strictUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}
