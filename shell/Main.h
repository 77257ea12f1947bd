#pragma once
// General routines shared by the commands.
#include <QByteArray>
#include <QString>

namespace orvane {

// The folder of the program file, without a trailing slash: the running
// executable's, unless a test has named another.
QString programFolder();
void setProgramFolder(const QString& folder);
// `name` in the program folder, joined by one slash.
QString inProgramFolder(const QString& name);

// True when `path` names an existing file. Never raises.
bool FileExists(const QString& path);

// Runs pending events once, then deletes the file, falling back on
// ForceDeleteFile. Never raises and reports nothing.
void DeleteFileQuietly(const QString& path);

// Deletes the file, read-only ones included. Raises AppError on failure.
void ForceDeleteFile(const QString& path);

// Writes `bytes` as a new file at `path`: created exclusively (an existing
// file or a symbolic link there is an error), readable and runnable by the
// owner only. A write that fails half-way removes the partial file. Raises
// AppError with the real cause.
void WriteBytesToFile(const QByteArray& bytes, const QString& path);

// Sets the application title: the product name cut before its last space
// (at least once, and again while longer than 40 characters).
void SetApplicationTitle();
QString applicationTitleFrom(QString name);

// The title of a message box that names none: the application title.
QString applicationTitle();

} // namespace orvane
