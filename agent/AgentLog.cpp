#include "AgentLog.h"

#include <cstdio>

namespace {

void writeLine(FILE *stream, const QString &message)
{
    QString line = message;
    for (QChar &c : line) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            c = QLatin1Char(' ');
    }
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

namespace AgentLog {

void event(const QString &message)
{
    writeLine(stdout, message);
}

void error(const QString &message)
{
    writeLine(stderr, message);
}

QString printable(const QString &text, int maxLength)
{
    QString result;
    for (const QChar c : text) {
        if (result.size() >= maxLength) {
            result += QStringLiteral("...");
            break;
        }
        result += (c.isPrint() ? c : QLatin1Char('?'));
    }
    return result;
}

} // namespace AgentLog
