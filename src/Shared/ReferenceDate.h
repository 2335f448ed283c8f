#pragma once

#include <QDateTime>
#include <QTimeZone>

#include <algorithm>
#include <cmath>

// Dates in stored JSON are fractional seconds since 2001-01-01T00:00:00Z, the epoch the records were first
// written with; peers that read those records rely on it.
namespace ReferenceDate {

inline QDateTime epoch()
{
    return QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());
}

inline double secondsSinceEpoch(const QDateTime &date)
{
    return static_cast<double>(epoch().msecsTo(date)) / 1000.0;
}

inline QDateTime fromSecondsSinceEpoch(double seconds)
{
    // A damaged record must not overflow the conversion; a few million years either way is plenty.
    constexpr double limit = 1.0e14;
    if (!std::isfinite(seconds))
        seconds = 0;
    seconds = std::clamp(seconds, -limit, limit);
    return epoch().addMSecs(static_cast<qint64>(std::llround(seconds * 1000.0)));
}

} // namespace ReferenceDate
