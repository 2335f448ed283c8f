#include "Shared/AgentStorageReport.h"

namespace {
const QString failedPrefix = QStringLiteral("cannot save ");
const QString recoveredPrefix = QStringLiteral("saved again: ");
const QString subjects[] = {AgentStorageReport::trustedDevices, AgentStorageReport::relayCodecState};
} // namespace

namespace AgentStorageReport {

QString failed(const QString &subject, const QString &detail)
{
    return failedPrefix + subject + QStringLiteral(": ") + detail;
}

QString recovered(const QString &subject)
{
    return recoveredPrefix + subject;
}

std::optional<Line> parse(QStringView line)
{
    // Only the known subjects count, so that no other line an agent (or a program it runs) prints can raise a
    // warning of its own choosing. Every line of a flood passes here: nothing is allocated for the others.
    if (line.startsWith(failedPrefix)) {
        const QStringView rest = line.sliced(failedPrefix.size());
        for (const QString &subject : subjects) {
            if (rest.startsWith(subject) && rest.sliced(subject.size()).startsWith(u':'))
                return Line{subject, line.toString()};
        }
    } else if (line.startsWith(recoveredPrefix)) {
        const QStringView rest = line.sliced(recoveredPrefix.size());
        for (const QString &subject : subjects) {
            if (rest == subject)
                return Line{subject, std::nullopt};
        }
    }
    return std::nullopt;
}

} // namespace AgentStorageReport
