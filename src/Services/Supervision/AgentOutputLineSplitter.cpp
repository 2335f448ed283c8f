#include "Services/Supervision/AgentOutputLineSplitter.h"

#include <algorithm>

namespace {

bool isLineBreak(char16_t c)
{
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// How many bytes at the end of `bytes` begin a UTF-8 sequence that is not complete yet. Anything that can
// never become valid is left to the decoder, which turns it into U+FFFD.
qsizetype incompleteTailLength(QByteArrayView bytes)
{
    const qsizetype size = bytes.size();
    qsizetype start = size;
    while (start > 0 && size - start < 3 && (static_cast<uchar>(bytes[start - 1]) & 0xC0) == 0x80)
        --start;
    if (start == 0)
        return 0;
    const auto lead = static_cast<uchar>(bytes[start - 1]);
    const qsizetype needed = lead >= 0xF0 && lead <= 0xF4   ? 4
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xC2 && lead <= 0xDF ? 2
                                                            : 1;
    const qsizetype present = size - start + 1;
    return needed > present ? present : 0;
}

} // namespace

AgentOutputLineSplitter::AgentOutputLineSplitter(qsizetype maxLineLength, CutGuard guard)
    : m_maxLineLength(std::max<qsizetype>(maxLineLength, 2)), m_guard(std::move(guard))
{}

qsizetype AgentOutputLineSplitter::cutPosition(QStringView text) const
{
    qsizetype cut = m_maxLineLength;
    if (m_guard.safeCut)
        cut = std::clamp<qsizetype>(m_guard.safeCut(text, cut), 1, text.size());
    // Never between the halves of a surrogate pair.
    if (cut > 1 && cut < text.size() && text.at(cut - 1).isHighSurrogate())
        --cut;
    return cut;
}

void AgentOutputLineSplitter::resynchronize()
{
    m_incompleteSequence.clear();
    m_partialLine.clear();
    m_dropUntilBreak = true;
}

void AgentOutputLineSplitter::feed(QByteArrayView bytes, QStringList &lines)
{
    if (m_dropUntilBreak) {
        const auto isBreak = [](char c) {
            return c >= 0x0A && c <= 0x0D;
        };
        const auto found = std::find_if(bytes.begin(), bytes.end(), isBreak);
        if (found == bytes.end())
            return;
        m_dropUntilBreak = false;
        bytes = bytes.sliced(found - bytes.begin() + 1);
    }
    if (bytes.isEmpty())
        return;
    QByteArray joined;
    if (!m_incompleteSequence.isEmpty()) {
        joined = m_incompleteSequence;
        joined.append(bytes);
        bytes = joined;
        m_incompleteSequence.clear();
    }
    const qsizetype tail = incompleteTailLength(bytes);
    if (tail > 0) {
        m_incompleteSequence = bytes.last(tail).toByteArray();
        bytes = bytes.first(bytes.size() - tail);
    }
    const qsizetype needed = m_decoder.requiredSpace(bytes.size());
    if (m_decoded.size() < needed)
        m_decoded.resize(needed);
    const QChar *end = m_decoder.appendToBuffer(m_decoded.data(), bytes);
    split(QStringView(m_decoded.constData(), end), lines);
}

void AgentOutputLineSplitter::finish(QStringList &lines)
{
    m_dropUntilBreak = false;
    if (!m_incompleteSequence.isEmpty()) {
        const QString rest = QString::fromUtf8(m_incompleteSequence);
        m_incompleteSequence.clear();
        split(rest, lines);
    }
    if (!m_partialLine.isEmpty()) {
        lines.append(m_partialLine);
        m_partialLine.clear();
    }
}

void AgentOutputLineSplitter::split(QStringView text, QStringList &lines)
{
    const char16_t *const begin = text.utf16();
    const qsizetype size = text.size();
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < size; ++i) {
        if (!isLineBreak(begin[i]))
            continue;
        if (m_partialLine.isEmpty()) {
            appendLine(text.sliced(lineStart, i - lineStart), lines);
        } else {
            m_partialLine.append(text.sliced(lineStart, i - lineStart));
            appendLine(m_partialLine, lines);
            m_partialLine.clear();
        }
        lineStart = i + 1;
    }
    m_partialLine.append(text.sliced(lineStart));

    // Cut a line that keeps growing once enough of it is known to choose a safe place.
    const qsizetype lookahead = m_guard.lookahead ? m_guard.lookahead() : 0;
    while (m_partialLine.size() >= m_maxLineLength + lookahead) {
        const qsizetype cut = cutPosition(m_partialLine);
        lines.append(m_partialLine.left(cut));
        m_partialLine.remove(0, cut);
    }
}

void AgentOutputLineSplitter::appendLine(QStringView piece, QStringList &lines)
{
    while (piece.size() > m_maxLineLength) {
        const qsizetype cut = cutPosition(piece);
        lines.append(piece.first(cut).toString());
        piece = piece.sliced(cut);
    }
    if (!piece.isEmpty())
        lines.append(piece.toString());
}
