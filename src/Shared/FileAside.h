#pragma once

#include <QString>

#include <optional>

// Moves a file that cannot be read or understood to "<path>.corrupt-<UTC time>" beside it, so that starting
// fresh never destroys what someone may still recover by hand. The new path, or none when it could not move.
std::optional<QString> moveDamagedFileAside(const QString &path);
