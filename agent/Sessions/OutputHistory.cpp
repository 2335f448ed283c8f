#include "Sessions/OutputHistory.h"

#include <algorithm>

namespace {

// Small writes (an echoed keystroke) are gathered into chunks of about this size, so that a history of many
// tiny writes costs no more memory than one of large writes.
constexpr qsizetype chunkBytes = 64 * 1024;

bool isContinuation(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

int sequenceLength(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0)
        return 2;
    if ((lead & 0xF0) == 0xE0)
        return 3;
    if ((lead & 0xF8) == 0xF0)
        return 4;
    return 1;
}

} // namespace

qsizetype completeUtf8Prefix(const QByteArray &bytes)
{
    const qsizetype size = bytes.size();
    for (qsizetype lead = size - 1; lead >= 0 && lead >= size - 4; --lead) {
        if (isContinuation(bytes.at(lead)))
            continue;
        return size - lead < sequenceLength(static_cast<unsigned char>(bytes.at(lead))) ? lead : size;
    }
    return size;
}

OutputHistory::OutputHistory(qsizetype capacity) : m_capacity(capacity) {}

void OutputHistory::restore(qint64 startOffset, const QByteArray &bytes)
{
    m_chunks.clear();
    m_start = startOffset;
    m_end = startOffset;
    append(bytes);
}

void OutputHistory::append(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    if (!m_chunks.empty() && m_chunks.back().size() < chunkBytes)
        m_chunks.back().append(bytes);
    else
        m_chunks.push_back(bytes);
    m_end += bytes.size();
    while (m_chunks.size() > 1 && m_end - m_start - m_chunks.front().size() >= m_capacity) {
        m_start += m_chunks.front().size();
        m_chunks.pop_front();
    }
}

QByteArray OutputHistory::read(qint64 offset, qsizetype maxBytes) const
{
    offset = std::clamp(offset, m_start, m_end);
    qsizetype wanted = static_cast<qsizetype>(std::min<qint64>(maxBytes, m_end - offset));
    QByteArray bytes;
    bytes.reserve(wanted + 1);
    qint64 chunkStart = m_start;
    for (const QByteArray &chunk : m_chunks) {
        const qint64 chunkEnd = chunkStart + chunk.size();
        if (chunkEnd > offset && bytes.size() < wanted + 1) {
            const qsizetype from = static_cast<qsizetype>(std::max<qint64>(offset - chunkStart, 0));
            // One byte past the end shows whether the cut falls inside a character.
            bytes.append(chunk.constData() + from, std::min(chunk.size() - from, wanted + 1 - bytes.size()));
        }
        chunkStart = chunkEnd;
        if (bytes.size() > wanted)
            break;
    }
    if (bytes.size() > wanted) {
        qsizetype cut = wanted;
        while (cut > 0 && wanted - cut < 3 && isContinuation(bytes.at(cut)))
            --cut;
        // At a character's start the cut goes there, even when that leaves nothing: the character waits for
        // room. Within bytes that are not UTF-8, the cut stays where it was asked for.
        bytes.truncate(isContinuation(bytes.at(cut)) ? wanted : cut);
    }
    return bytes;
}
