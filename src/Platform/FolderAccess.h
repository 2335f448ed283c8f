#pragma once

#include <QByteArray>
#include <QString>

// Open access to a bookmarked folder: the folder is held open (a directory descriptor) from open() until the
// object is closed or destroyed, so it cannot vanish from under a running agent unnoticed by the system.
class FolderAccess {
public:
    FolderAccess() = default;
    FolderAccess(const FolderAccess &) = delete;
    FolderAccess &operator=(const FolderAccess &) = delete;
    FolderAccess(FolderAccess &&other) noexcept;
    FolderAccess &operator=(FolderAccess &&other) noexcept;
    ~FolderAccess();

    // Resolves the bookmark and opens the folder it names; an invalid access when either fails.
    static FolderAccess open(const QByteArray &bookmark);

    bool isOpen() const { return m_fd >= 0; }
    QString path() const { return m_path; }
    void close();

private:
    int m_fd = -1;
    QString m_path;
};
