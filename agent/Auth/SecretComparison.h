#pragma once

#include <QString>

// Equality of a presented secret and the expected one in time that depends on neither value nor on their
// lengths: both are hashed first, then the digests are compared without an early exit.
bool secretsEqual(const QString &presented, const QString &expected);
