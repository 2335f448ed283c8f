#include "App/CommandLine/AttachedTerminal.h"

#include <array>

namespace {

constexpr char plainDetachKey = 0x1d;
// Ctrl-] under the kitty keyboard protocol and under xterm's modifyOtherKeys.
constexpr std::array<QByteArrayView, 2> enhancedDetachKeys{QByteArrayView("\x1b[93;5u"),
                                                           QByteArrayView("\x1b[27;5;93~")};

} // namespace

namespace AttachedTerminal {

const QByteArray modesReset = QByteArrayLiteral("\x1b[?1049l\x1b[?1000l\x1b[?1002l\x1b[?1003l\x1b[?1006l"
                                                "\x1b[?2004l\x1b[?1l\x1b[<u\x1b[?25h\x1b[0m\r\n");

std::optional<qsizetype> detachKeyAt(QByteArrayView typed)
{
    std::optional<qsizetype> first;
    const auto found = [&first](qsizetype at) {
        if (at >= 0 && (!first || at < *first))
            first = at;
    };
    found(typed.indexOf(plainDetachKey));
    for (const QByteArrayView key : enhancedDetachKeys)
        found(typed.indexOf(key));
    return first;
}

QByteArrayView shownOfTail(QByteArrayView piece, bool &skipping)
{
    if (!skipping)
        return piece;
    const qsizetype lineEnd = piece.indexOf('\n');
    if (lineEnd < 0)
        return {};
    skipping = false;
    return piece.sliced(lineEnd + 1);
}

} // namespace AttachedTerminal
