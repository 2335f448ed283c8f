#pragma once

#include <QString>
#include <QStringView>

#include <optional>

// The agent's lines about files it could not write, and about the same files written again. They are
// ordinary log lines a person can read, and the host also reads them to keep a warning standing until the
// agent says the file is written again, since a full disk is for the user to mend.
namespace AgentStorageReport {

inline const QString trustedDevices = QStringLiteral("the trusted devices");
inline const QString relayCodecState = QStringLiteral("the relay codec state");

// "cannot save <subject>: <detail>"
QString failed(const QString &subject, const QString &detail);
// "saved again: <subject>"
QString recovered(const QString &subject);

struct Line {
    QString subject;
    // The whole line when it tells of a failure; none when the subject is written again.
    std::optional<QString> failure;
};

// None for every other line.
std::optional<Line> parse(QStringView line);

} // namespace AgentStorageReport
