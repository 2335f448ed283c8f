#pragma once

#include "Shared/SessionHolderProtocol.h"

#include <QtGlobal>

// The bounds every session and tablet is held to; agent/PROTOCOL.md states them.
namespace SessionLimits {
// Sessions at once, on this computer.
constexpr int maxSessions = 16;
// The bytes of one keystroke message.
constexpr qsizetype maxInputBytes = 64 * 1024;
// Output a session keeps for tablets that attach again (a little more while a chunk is filling).
constexpr qsizetype historyBytes =
    qsizetype(SessionHolderProtocol::spoolSegmentBytes * (SessionHolderProtocol::spoolSegmentsKept - 1));
// Output a tablet may have received without acknowledging it; past this the session's output waits for it.
constexpr qsizetype unacknowledgedBytes = qsizetype(SessionHolderProtocol::window);
// The output one message carries at most.
constexpr qsizetype outputMessageBytes = 32 * 1024;
// Keystrokes a session's holder has not taken yet, past which more are refused.
constexpr qsizetype pendingInputBytes = 1024 * 1024;
// Ended sessions whose end is still told to a tablet that comes back for them.
constexpr qsizetype endedSessionsKept = 64;
// Terminal sizes a tablet may ask for.
constexpr int minColumns = 2, maxColumns = 1000, minRows = 1, maxRows = 500;
} // namespace SessionLimits
