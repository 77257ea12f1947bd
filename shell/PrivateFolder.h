#pragma once
// Folders that belong to this user alone, and a lock that one user's
// copies of the program take in such a folder so that they never work on
// the same files at once.
#include "shell/FileIO.h"

#include <QString>

#include <sys/stat.h>

namespace orvane {

// True when `folder` is a directory (links followed) owned by this user
// that neither its group nor others can write.
bool onlyUserCanWrite(const QString& folder);

// Makes `folder` with mode 0700 when it is missing (its parents too, as
// private folders, when `withParents`), then checks that it is a real
// directory, not a link, owned by this user and writable by nobody else.
// Raises AppError with the cause.
void ensurePrivateFolder(const QString& folder, bool withParents = false);
// The checks of ensurePrivateFolder on what lstat (or, for a folder that may
// be a link, stat) said of `folder`.
void requirePrivateFolder(const QString& folder, const struct stat& st);

// The folder of this user's own that the user's copies of the program
// share: "orvane-capture-desk" in $XDG_RUNTIME_DIR when that is set,
// absolute, and a directory of this user that no one else may write; the
// folder is made with mode 0700 when missing and checked at
// every call. Empty when there is none; then `why`, when given, names the
// folder and what is wrong with it (empty when XDG_RUNTIME_DIR is unset).
QString runtimePrivateFolder(QString* why = nullptr);
// The same in $XDG_CACHE_HOME (~/.cache by default), its parents made
// when missing. Empty when it cannot be had, with the cause in `why`.
QString cachePrivateFolder(QString* why = nullptr);
// The first of the two that can be had, or empty; then `why` has a line
// for each folder tried.
QString userPrivateFolder(QString* why = nullptr);

// Why `folder` is no directory of this user alone ("<folder>: belongs to
// another user (uid 1001)"); empty when it is one.
QString ownFolderProblem(const QString& folder);

// An exclusive lock on a file that exists only while the lock is held.
// The holder removes the file before it lets go, and a copy that waited on
// a file since removed tries again, so two copies never both hold it.
class FolderLock {
public:
    FolderLock() = default;
    FolderLock(FolderLock&&) = default;
    FolderLock& operator=(FolderLock&&) = default;
    ~FolderLock() { release(); }

    // Takes the lock if it is free. Raises AppError when the lock file
    // cannot be made or locked for another reason than another holder.
    bool tryAcquire(const QString& path);
    // Waits until the lock is free, polling every 100 ms and running the
    // event pump once per poll, so the windows stay alive.
    void acquire(const QString& path);
    void release();
    bool held() const { return bool(fd_); }

private:
    UniqueFd fd_;
    QString path_;
};

} // namespace orvane
