#include "Services/Redaction/SecretPattern.h"

#include <algorithm>

namespace {

int hexValue(char16_t u)
{
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

// The value of the two hex digits at `position`, or -1.
int hexAt(const char16_t *text, qsizetype size, qsizetype position)
{
    if (position + 2 > size)
        return -1;
    const int high = hexValue(text[position]);
    const int low = hexValue(text[position + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

int utf8Length(char32_t codePoint)
{
    if (codePoint < 0x80)
        return 1;
    if (codePoint < 0x800)
        return 2;
    // A lone surrogate is written as the three bytes of U+FFFD.
    return codePoint < 0x10000 ? 3 : 4;
}

} // namespace

SecretPattern::Positions::Positions(qsizetype first)
{
    if (first >= 0)
        add(first);
}

void SecretPattern::Positions::add(qsizetype position)
{
    for (qsizetype i = 0; i < count; ++i) {
        if (at(i) == position)
            return;
    }
    if (count < inlineCapacity)
        inlinePositions[count] = position;
    else
        spilled.push_back(position);
    ++count;
}

void SecretPattern::Positions::clear()
{
    count = 0;
    spilled.clear();
}

qsizetype SecretPattern::Positions::at(qsizetype index) const
{
    return index < inlineCapacity ? inlinePositions[index]
                                  : spilled[static_cast<std::size_t>(index - inlineCapacity)];
}

SecretPattern::SecretPattern(const QString &secret)
    : secret(secret), utf8(secret.toUtf8()), rawMatcher(secret)
{
    codePoints.reserve(static_cast<std::size_t>(secret.size()));
    qsizetype utf8Start = 0;
    for (qsizetype i = 0; i < secret.size();) {
        CodePoint codePoint;
        codePoint.rawStart = i;
        char32_t value = secret.at(i).unicode();
        if (secret.at(i).isHighSurrogate() && i + 1 < secret.size() && secret.at(i + 1).isLowSurrogate()) {
            codePoint.rawLength = 2;
            value = QChar::surrogateToUcs4(secret.at(i), secret.at(i + 1));
        } else {
            codePoint.rawLength = 1;
        }
        codePoint.utf8Start = utf8Start;
        codePoint.utf8Length = utf8Length(value);
        utf8Start += codePoint.utf8Length;
        // Raw, twice-encoded bytes, or a JSON escape per UTF-16 unit: whichever is longest.
        longestForm += std::max(5 * codePoint.utf8Length, 6 * codePoint.rawLength);
        codePoints.push_back(codePoint);
        i += codePoint.rawLength;
    }
    Q_ASSERT(utf8Start == utf8.size());
    hasBlank = secret.contains(u' ');
}

void SecretPattern::addEnds(const CodePoint &codePoint, const char16_t *text, qsizetype size,
                            qsizetype position, Positions &ends) const
{
    const char16_t *raw = QStringView(secret).utf16() + codePoint.rawStart;
    const qsizetype rawLength = codePoint.rawLength;
    if (position + rawLength <= size && std::equal(raw, raw + rawLength, text + position))
        ends.add(position + rawLength);
    if (position >= size)
        return;
    const char16_t lead = text[position];
    const char16_t rawUnit = rawLength == 1 ? raw[0] : 0;

    if (lead == u'+' && rawUnit == u' ')
        ends.add(position + 1);

    if (lead == u'%') {
        // Every byte either once ("%C3") or twice ("%25C3") encoded.
        Positions first{position};
        Positions second;
        Positions *reached = &first;
        Positions *next = &second;
        for (qsizetype b = 0; b < codePoint.utf8Length && reached->size() > 0; ++b) {
            const int byte = static_cast<unsigned char>(utf8.at(codePoint.utf8Start + b));
            next->clear();
            for (qsizetype i = 0; i < reached->size(); ++i) {
                const qsizetype at = reached->at(i);
                if (at >= size || text[at] != u'%')
                    continue;
                const int once = hexAt(text, size, at + 1);
                if (once == byte)
                    next->add(at + 3);
                if (once == 0x25 && hexAt(text, size, at + 3) == byte)
                    next->add(at + 5);
            }
            std::swap(reached, next);
        }
        for (qsizetype i = 0; i < reached->size(); ++i)
            ends.add(reached->at(i));
    }

    if (lead == u'\\') {
        qsizetype at = position;
        for (qsizetype unit = 0; unit < rawLength && at >= 0; ++unit) {
            const bool escaped = at + 5 < size && text[at] == u'\\' && text[at + 1] == u'u' &&
                                 hexAt(text, size, at + 2) == (raw[unit] >> 8) &&
                                 hexAt(text, size, at + 4) == (raw[unit] & 0xff);
            at = escaped ? at + 6 : -1;
        }
        if (at >= 0)
            ends.add(at);
        if ((rawUnit == u'/' || rawUnit == u'"' || rawUnit == u'\\') && position + 1 < size &&
            text[position + 1] == rawUnit)
            ends.add(position + 2);
    }
}

qsizetype SecretPattern::matchLength(QStringView text, qsizetype position) const
{
    if (codePoints.empty())
        return 0;
    const char16_t *data = text.utf16();
    const qsizetype size = text.size();
    // The positions at which the forms of the code points matched so far can end; seldom more than one.
    Positions first{position};
    Positions second;
    Positions *reached = &first;
    Positions *next = &second;
    for (const CodePoint &codePoint : codePoints) {
        next->clear();
        for (qsizetype i = 0; i < reached->size(); ++i)
            addEnds(codePoint, data, size, reached->at(i), *next);
        if (next->size() == 0)
            return 0;
        std::swap(reached, next);
    }
    qsizetype longest = reached->at(0);
    for (qsizetype i = 1; i < reached->size(); ++i)
        longest = std::max(longest, reached->at(i));
    return longest - position;
}

qsizetype SecretPattern::find(QStringView text, qsizetype from, qsizetype &length) const
{
    length = 0;
    if (codePoints.empty())
        return -1;
    const char16_t *data = text.utf16();
    const char16_t firstUnit = secret.at(0).unicode();
    const bool blankFirst = firstUnit == u' ';
    // Most lines hold no escape at all; then only the secret as it is can occur, and the library's search
    // finds that much faster than a walk over every position.
    const QStringView rest = text.mid(std::max<qsizetype>(from, 0));
    if (!rest.contains(u'%') && !rest.contains(u'\\') && !(hasBlank && rest.contains(u'+'))) {
        const qsizetype at = rawMatcher.indexIn(text, std::max<qsizetype>(from, 0));
        length = at >= 0 ? secret.size() : 0;
        return at;
    }
    for (qsizetype i = std::max<qsizetype>(from, 0); i < text.size(); ++i) {
        const char16_t c = data[i];
        if (c != firstUnit && c != u'%' && c != u'\\' && !(blankFirst && c == u'+'))
            continue;
        const qsizetype matched = matchLength(text, i);
        if (matched > 0) {
            length = matched;
            return i;
        }
    }
    return -1;
}
