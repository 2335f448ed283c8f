#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// The pure parts of a terminal on this computer attached to a session: the key that leaves it, what is
// replayed to bring its screen up, and what puts the terminal back the way the user had it.
namespace AttachedTerminal {

// Ctrl-] (0x1d), as telnet and virsh console use it: Codex binds no action to it and shells barely use it,
// while Ctrl-\ is the program's quit signal and Ctrl-b, Ctrl-a and Ctrl-p are editing keys there.
inline const QString detachKeyName = QStringLiteral("Ctrl-]");

// Where the first detach key starts in what the terminal typed, if it typed one: the plain byte, or the
// sequences a terminal sends for Ctrl-] once the program asked for its enhanced keyboard modes (Codex does):
// CSI 93;5u and CSI 27;5;93~. A terminal writes each key at once, so a key is looked for within one read.
std::optional<qsizetype> detachKeyAt(QByteArrayView typed);

// How much of the end of the kept output is replayed to bring a screen up.
constexpr quint64 replayedBytes = 64 * 1024;

// What to show of one piece of a replayed tail that does not start the stream: nothing before the first line
// start, so no half escape sequence or character is drawn. `skipping` says whether that line start is still
// to come; it is cleared once found.
QByteArrayView shownOfTail(QByteArrayView piece, bool &skipping);

// Written when the terminal leaves the session: whatever modes the program turned on (the alternate screen,
// mouse reports, bracketed paste, enhanced keys, a hidden cursor, colours) are turned off again, and the
// cursor goes to a line of its own.
extern const QByteArray modesReset;

} // namespace AttachedTerminal
