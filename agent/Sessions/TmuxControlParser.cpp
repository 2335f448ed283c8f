#include "Sessions/TmuxControlParser.h"

#include <cstring>

namespace {

bool isOctal(char c)
{
    return c >= '0' && c <= '7';
}

// "%begin TIME NUMBER FLAGS": the part after the keyword, which "%end" and "%error" repeat.
QByteArray guardOf(const QByteArray &text, qsizetype keywordLength)
{
    return text.mid(keywordLength);
}

} // namespace

QByteArray TmuxControlParser::unescape(const QByteArray &data)
{
    QByteArray bytes;
    bytes.reserve(data.size());
    const char *p = data.constData();
    const qsizetype size = data.size();
    qsizetype i = 0;
    while (i < size) {
        const void *slash = std::memchr(p + i, '\\', static_cast<size_t>(size - i));
        const qsizetype next = slash ? static_cast<const char *>(slash) - p : size;
        bytes.append(p + i, next - i);
        if (!slash)
            break;
        if (next + 3 < size && isOctal(p[next + 1]) && isOctal(p[next + 2]) && isOctal(p[next + 3])) {
            bytes.append(static_cast<char>(((p[next + 1] - '0') << 6) | ((p[next + 2] - '0') << 3) |
                                           (p[next + 3] - '0')));
            i = next + 4;
        } else {
            bytes.append('\\');
            i = next + 1;
        }
    }
    return bytes;
}

void TmuxControlParser::feed(const QByteArray &bytes, QList<Event> &events)
{
    qsizetype start = 0;
    while (true) {
        const qsizetype end = bytes.indexOf('\n', start);
        if (end < 0)
            break;
        if (m_partial.isEmpty()) {
            line(bytes.mid(start, end - start), events);
        } else {
            m_partial.append(bytes.constData() + start, end - start);
            line(m_partial, events);
            m_partial.clear();
        }
        start = end + 1;
    }
    m_partial.append(bytes.constData() + start, bytes.size() - start);
}

void TmuxControlParser::line(const QByteArray &text, QList<Event> &events)
{
    static const QByteArray beginWord("%begin"), endWord("%end"), errorWord("%error");
    if (m_inBlock) {
        const bool ends = text.startsWith(endWord) && guardOf(text, endWord.size()) == m_blockGuard;
        const bool fails = text.startsWith(errorWord) && guardOf(text, errorWord.size()) == m_blockGuard;
        if (!ends && !fails) {
            m_block.lines.append(text);
            return;
        }
        m_inBlock = false;
        m_block.ok = ends;
        events.append(std::move(m_block));
        m_block = Event();
        return;
    }
    if (text.startsWith("%output ")) {
        // "%output %PANE DATA": each client is attached to one session of one pane, so the pane is not
        // needed.
        const qsizetype space = text.indexOf(' ', 8);
        if (space > 0)
            events.append(Event{Event::output, unescape(text.mid(space + 1)), true, false, {}});
    } else if (text.startsWith(beginWord + ' ')) {
        m_inBlock = true;
        m_blockGuard = guardOf(text, beginWord.size());
        m_block = Event{Event::reply, {}, true, m_blockGuard.endsWith(" 0"), {}};
    } else if (text == "%exit" || text.startsWith("%exit ")) {
        events.append(Event{Event::exit, text.mid(6), true, false, {}});
    }
}
