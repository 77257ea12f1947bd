#pragma once
// The run-time error of the program: a number and a description that names
// the real cause. Routines raise it; guarded handlers catch and report it.
#include <QString>
#include <exception>

namespace orvane {

class AppError : public std::exception {
public:
    AppError(int number, QString description)
        : number_(number)
        , description_(std::move(description))
        , utf8_(description_.toUtf8())
    { }
    int number() const noexcept { return number_; }
    const QString& description() const noexcept { return description_; }
    const char* what() const noexcept override { return utf8_.constData(); }

private:
    int number_;
    QString description_;
    QByteArray utf8_;
};

// Error numbers the program raises itself.
enum ErrorNumber {
    ErrInvalidCall = 5, // invalid procedure call or argument
    ErrFileNotFound = 53,
    ErrPermissionDenied = 70,
    ErrPathAccess = 75,
    ErrDeviceIO = 57,
    ErrDiskFull = 61,
    ErrLibraryNotFound = 48, // a library could not be loaded
    ErrEntryPointNotFound = 453,
};

[[noreturn]] void raiseError(int number, const QString& description);
// Raises the error that errno (or the given code) describes, with strerror's
// text after the context, for example "/tmp/x: No space left on device".
[[noreturn]] void raiseErrno(const QString& context, int err);

} // namespace orvane
