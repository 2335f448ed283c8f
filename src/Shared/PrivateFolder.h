#pragma once

#include <QString>

// Creates `path` and every missing folder above it with owner-only permissions (0700), so that nothing the
// program keeps there is ever readable by other local users, not even for a moment. Folders that already
// exist are left as they are. True when the folder exists afterwards.
bool makePrivateFolder(const QString &path);
