#pragma once
// Where the TIFF and PNG exports keep their own files: the converter they
// run, the temporary BMP it reads, and the lock that lets one export of
// this user run at a time.
#include "shell/FileIO.h"

#include <QString>

#include <sys/types.h>

namespace orvane {

// "TEMP" when set and not empty, else TMPDIR, else /tmp.
QString temporaryFolder();

// The folder of one export's own files, chosen where no other user can
// create, replace or hold a name:
//   - the temporary folder itself when only this user can write it;
//   - otherwise (a temporary folder shared with others) the user's folder
//     in $XDG_RUNTIME_DIR, else a folder of a name no one can predict made
//     in the temporary folder ("orvane-capture-desk-<uid>-" and six random
//     characters, mode 0700), removed again when the export ends, else the
//     user's folder in the cache folder.
// A temporary folder that is missing or not a folder is the user's to
// mend: open() reports it.
class ExportFolder {
public:
    ExportFolder() = default;
    ExportFolder(const ExportFolder&) = delete;
    ExportFolder& operator=(const ExportFolder&) = delete;
    ~ExportFolder();

    // Chooses and makes the folder. Raises AppError with the cause.
    void open();
    bool isOpen() const { return !path_.isEmpty(); }
    const QString& path() const { return path_; }
    // True for a folder made for this export alone.
    bool isUnique() const { return bool(held_); }
    // Checks that the folder is still a real directory of this user that
    // no one else can write, the very one chosen. Raises AppError.
    void check() const;

    // The folder followed by "/nconvert.exe" and "/tempscan.bmp".
    QString converterPath() const;
    QString temporaryBmpPath() const;
    // The lock one export at a time of this user holds: in the export
    // folder when the user's copies share it, else in the user's own
    // folder, so that no other user can create or hold it.
    QString lockPath() const;

private:
    void close();

    QString path_;
    QString lockFolder_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    UniqueFd held_; // the unique folder, locked while this export uses it
};

// Removes what exports that were killed left of their unique folders in
// the temporary folder: only folders and files of this user, links never
// followed, and no folder another running export still holds. Returns the
// number of folders removed.
int removeExportLeftovers();

} // namespace orvane
