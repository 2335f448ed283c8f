#include "Sessions/ExitMarker.h"

namespace {

// "ESC ] marker ; status BEL": an operating system command no terminal knows.
QByteArray prefixOf(const QByteArray &marker)
{
    return "\x1b]" + marker + ';';
}

// The longest status: a sign and ten digits.
constexpr qsizetype maxStatusBytes = 11;

} // namespace

ExitMarker::ExitMarker(const QByteArray &marker) : m_prefix(prefixOf(marker)) {}

QByteArray ExitMarker::printfFormat(const QByteArray &marker)
{
    return "\\033]" + marker + ";%s\\007";
}

QByteArray ExitMarker::filter(const QByteArray &bytes)
{
    if (m_status)
        return {};
    m_held.append(bytes);
    const qsizetype start = m_held.indexOf(m_prefix);
    if (start >= 0) {
        const qsizetype statusStart = start + m_prefix.size();
        const qsizetype end = m_held.indexOf('\x07', statusStart);
        bool ok = false;
        const int status = end >= 0 ? m_held.mid(statusStart, end - statusStart).toInt(&ok) : 0;
        if (end >= 0 && ok) {
            m_status = status;
            const QByteArray before = m_held.left(start);
            m_held.clear();
            return before;
        }
        if (end < 0 && m_held.size() - statusStart <= maxStatusBytes) {
            QByteArray before = m_held.left(start);
            m_held.remove(0, start);
            return before;
        }
        // Not the sequence after all: the bytes are the program's.
        return std::exchange(m_held, {});
    }
    qsizetype held = std::min(m_held.size(), m_prefix.size() - 1);
    while (held > 0 && !m_prefix.startsWith(QByteArrayView(m_held).last(held)))
        --held;
    QByteArray passed = m_held.left(m_held.size() - held);
    m_held.remove(0, m_held.size() - held);
    return passed;
}
