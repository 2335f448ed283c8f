#pragma once

#include <QString>

// What a second ferrowyn-host and the running one say to each other over the single-instance socket: one
// JSON object each way, {"request": NAME, "deviceId": ID, "sessionId": ID} and the answer's fields or
// {"error": TEXT}. The request names are also the command line's options (--status, --link, ...).
namespace HostControlProtocol {

inline const QString status = QStringLiteral("status");
inline const QString link = QStringLiteral("link");
inline const QString start = QStringLiteral("start");
inline const QString stop = QStringLiteral("stop");
inline const QString restart = QStringLiteral("restart");
inline const QString rotate = QStringLiteral("rotate");
inline const QString quit = QStringLiteral("quit");
inline const QString devices = QStringLiteral("devices");
inline const QString revoke = QStringLiteral("revoke");
inline const QString sessions = QStringLiteral("sessions");
inline const QString endSession = QStringLiteral("end-session");
// Not a request: the command line attaches this terminal to a session by itself.
inline const QString attach = QStringLiteral("attach");

// The request's keys.
inline const QString requestKey = QStringLiteral("request");
inline const QString deviceIdKey = QStringLiteral("deviceId");
inline const QString sessionIdKey = QStringLiteral("sessionId");
// The answer's keys, besides those named like their request ("link", "devices").
inline const QString errorKey = QStringLiteral("error");
inline const QString doneKey = QStringLiteral("done");
// With "done": what the request found, when it changed nothing ("Hosting is already running ...").
inline const QString noteKey = QStringLiteral("note");
// In the status: whether a host runs at all (the command line answers false itself when none does).
inline const QString runningKey = QStringLiteral("running");
// In the answer to "link": the link's browser form, empty when its route has none.
inline const QString browserLinkKey = QStringLiteral("browserLink");
// In the answers to "link" and "status": "Key fingerprint: ..." of the key the link carries.
inline const QString keyFingerprintKey = QStringLiteral("keyFingerprint");

} // namespace HostControlProtocol
