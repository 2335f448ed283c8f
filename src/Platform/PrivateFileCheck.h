#pragma once

#include <QString>

#include <optional>
#include <sys/types.h>

// Whether a file that holds secrets, and the folder it is in, are this user's alone, as ssh asks of a private
// key: owned by this user, with no permission for group or others. Nothing is ever changed here, least of all
// another user's file: the words say what to run.
namespace PrivateFileCheck {

struct Entry {
    uid_t owner = 0;
    mode_t mode = 0; // the permission bits
};

// Why `path` (a folder when `isFolder`) may not hold secrets for the user `me`, with the command that
// mends it; none when it may. `what` names the file for the user ("The secrets file").
std::optional<QString> refusal(const QString &what, const QString &path, bool isFolder, const Entry &entry,
                               uid_t me);

// The refusal of the file at `path` or of its folder, as they are on disk now; none when both are private or
// not there yet (they are then created private).
std::optional<QString> check(const QString &what, const QString &path);

} // namespace PrivateFileCheck
