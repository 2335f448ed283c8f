#pragma once

// The conversation between a session's holder (`ferrowyn-session`, which owns the session's terminal) and its
// readers (the agent, for all its tablets, and `ferrowyn-host --attach` in a terminal), over the Unix socket
// in the session's folder. Plain C++ and libc, so that the holder links nothing else; agent/PROTOCOL.md
// ("Session holder") describes it for other readers.
//
// A frame is a 4-byte big-endian length (of what follows it), a type byte, and the type's fields: whole
// numbers big-endian, then the bytes, if any, up to the frame's end.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace SessionHolderProtocol {

// The socket's name in the session's folder.
inline constexpr std::string_view socketName = "socket";
// The program's end, written by the holder before it exits: one line, "exit N" or "signal N".
inline constexpr std::string_view endRecordName = "status";
// The output kept: files named by the stream offset of their first byte (16 digits), "out-0000000000000000".
inline constexpr std::string_view spoolPrefix = "out-";
// The size of one spool file; the oldest is deleted once two full ones follow it (the last 4 MiB or a little
// more).
inline constexpr std::size_t spoolSegmentBytes = 2 * 1024 * 1024;
inline constexpr std::size_t spoolSegmentsKept = 3;
// A reader that has acknowledged less than this behind the stream's end lets the program go on.
inline constexpr std::uint64_t window = 512 * 1024;
// The largest frame, length field included, either way: an output frame carries at most this less its fields.
inline constexpr std::size_t maxFrameBytes = 64 * 1024 + 32;
// Readers attached at once.
inline constexpr int maxReaders = 8;

enum class Type : std::uint8_t {
    // Reader to holder. `hello` comes first and once: from (u64), columns (u16), rows (u16); a size of 0x0
    // keeps the program's size.
    hello = 0x01,
    // Bytes for the program's terminal, as typed.
    input = 0x02,
    // columns (u16), rows (u16).
    resize = 0x03,
    // offset (u64): the reader has taken the stream up to there.
    ack = 0x04,
    // The reader holds nothing back (it has nobody to feed) until its next `ack`.
    idle = 0x05,
    // Hang up the program, then kill it after a short grace; the holder then exits.
    end = 0x06,
    // signal (u8) for the program's process group.
    signal = 0x07,

    // Holder to reader. The answer to `hello`: from (u64), the offset the output starts at, and dropped
    // (u64), how many bytes before it, from the reader's `from`, are no longer kept.
    attached = 0x81,
    // offset (u64), then the bytes: the stream from that offset on, each frame following the previous one.
    output = 0x82,
    // from (u64), dropped (u64): the reader fell so far behind that the stream goes on at `from`.
    dropped = 0x83,
    // how (u8: 0 exit, 1 signal), value (u32), then the holder's problem, if one made it end the program (a
    // line of text, at most maxProblemBytes): the program ended; all its output was sent before this.
    ended = 0x84,
    // columns (u16), rows (u16): the terminal's size, after `attached` and whenever it changes (whichever
    // reader's frame or leave changed it), to every reader, that one included.
    resized = 0x85,
};

// The longest problem told with the program's end.
inline constexpr std::size_t maxProblemBytes = 512;

inline constexpr std::size_t lengthBytes = 4;
inline constexpr std::size_t headerBytes = lengthBytes + 1;

enum class EndKind : std::uint8_t { exit = 0, signal = 1 };

inline void putU16(std::string &out, std::uint16_t value)
{
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value & 0xff));
}

inline void putU32(std::string &out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((value >> shift) & 0xff));
}

inline void putU64(std::string &out, std::uint64_t value)
{
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((value >> shift) & 0xff));
}

inline std::uint64_t getUnsigned(const char *bytes, std::size_t count)
{
    std::uint64_t value = 0;
    for (std::size_t index = 0; index < count; ++index)
        value = (value << 8) | static_cast<unsigned char>(bytes[index]);
    return value;
}

// A frame of `type` whose fields are `fields` and then `bytes`.
inline std::string frame(Type type, std::string_view fields, std::string_view bytes = {})
{
    std::string out;
    out.reserve(headerBytes + fields.size() + bytes.size());
    putU32(out, static_cast<std::uint32_t>(1 + fields.size() + bytes.size()));
    out.push_back(static_cast<char>(type));
    out.append(fields);
    out.append(bytes);
    return out;
}

// Sets the length of the frame that starts at `at` of `out` and runs to its end, for one whose bytes were
// added in place.
inline void setFrameLength(std::string &out, std::size_t at)
{
    std::string length;
    putU32(length, static_cast<std::uint32_t>(out.size() - at - lengthBytes));
    out.replace(at, lengthBytes, length);
}

inline std::string offsetField(std::uint64_t offset)
{
    std::string out;
    putU64(out, offset);
    return out;
}

inline std::string sizeFields(std::uint16_t columns, std::uint16_t rows)
{
    std::string out;
    putU16(out, columns);
    putU16(out, rows);
    return out;
}

inline std::string hello(std::uint64_t from, std::uint16_t columns, std::uint16_t rows)
{
    return frame(Type::hello, offsetField(from) + sizeFields(columns, rows));
}

inline std::string resize(std::uint16_t columns, std::uint16_t rows)
{
    return frame(Type::resize, sizeFields(columns, rows));
}

inline std::string ack(std::uint64_t offset)
{
    return frame(Type::ack, offsetField(offset));
}

inline std::string attachedOrDropped(Type type, std::uint64_t from, std::uint64_t dropped)
{
    return frame(type, offsetField(from) + offsetField(dropped));
}

inline std::string ended(EndKind kind, std::uint32_t value, std::string_view problem = {})
{
    std::string fields(1, static_cast<char>(kind));
    putU32(fields, value);
    return frame(Type::ended, fields, problem.substr(0, maxProblemBytes));
}

inline std::string resized(std::uint16_t columns, std::uint16_t rows)
{
    return frame(Type::resized, sizeFields(columns, rows));
}

// One frame taken off the front of a buffer.
struct Frame {
    Type type;
    // The fields and bytes after the type byte.
    std::string_view body;
    // How many bytes of the buffer the frame took.
    std::size_t size;
};

// The frame at the start of `buffer`: none while it is incomplete; `malformed` when its length cannot be
// right (the peer is then dropped).
inline std::optional<Frame> nextFrame(std::string_view buffer, bool &malformed)
{
    malformed = false;
    if (buffer.size() < lengthBytes)
        return std::nullopt;
    const std::uint64_t length = getUnsigned(buffer.data(), lengthBytes);
    if (length < 1 || length + lengthBytes > maxFrameBytes) {
        malformed = true;
        return std::nullopt;
    }
    if (buffer.size() < lengthBytes + length)
        return std::nullopt;
    return Frame{static_cast<Type>(buffer[lengthBytes]), buffer.substr(headerBytes, length - 1),
                 static_cast<std::size_t>(lengthBytes + length)};
}

// The fixed fields each type needs at least.
inline std::size_t fieldBytes(Type type)
{
    switch (type) {
    case Type::hello:
        return 12;
    case Type::resize:
    case Type::resized:
        return 4;
    case Type::ack:
    case Type::output:
        return 8;
    case Type::signal:
        return 1;
    case Type::attached:
    case Type::dropped:
        return 16;
    case Type::ended:
        return 5;
    case Type::input:
    case Type::idle:
    case Type::end:
        return 0;
    }
    return 0;
}

} // namespace SessionHolderProtocol
