#pragma once

#include <QString>

// The secret each device is issued when it pairs. The agent hands it out once and keeps only its hash, so
// neither the trusted-devices file nor anyone who reads it can present it.
namespace DeviceSecret {
// 32 bytes from the system's secure random source, URL-safe Base64 without padding (43 characters).
QString generate();
// "sha256:" and the lower-case hex SHA-256 of the secret's UTF-8 bytes; a secret of 256 random bits needs
// no slow hash.
QString hash(const QString &secret);
// Whether `presented` is the secret behind `storedHash`, in time that depends on neither; false for a
// stored hash of another form.
bool matches(const QString &presented, const QString &storedHash);
} // namespace DeviceSecret
