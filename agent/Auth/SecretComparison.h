#pragma once

#include <QByteArray>
#include <QString>

// Equality of a presented secret and the expected one in time that depends on neither value nor on their
// lengths: both are hashed first, then the digests are compared without an early exit.
bool secretsEqual(const QString &presented, const QString &expected);
// Equality of two digests of one length without an early exit; false when the lengths differ.
bool digestsEqual(const QByteArray &a, const QByteArray &b);
