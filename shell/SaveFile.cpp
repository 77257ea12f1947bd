#include "shell/SaveFile.h"

#include "shell/AppError.h"

#include <QFile>

#include <dirent.h>
#include <sys/stat.h>

namespace orvane {

namespace {

QByteArray folderOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

QByteArray nameOf(const QByteArray& path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

QString kindOf(unsigned kind)
{
    switch (kind) {
    case S_IFIFO:
        return QStringLiteral("a named pipe (FIFO)");
    case S_IFSOCK:
        return QStringLiteral("a socket");
    case S_IFCHR:
        return QStringLiteral("a character device");
    case S_IFBLK:
        return QStringLiteral("a block device");
    default:
        return QStringLiteral("not a regular file");
    }
}

// A name whose bytes are not UTF-8 reaches the program with U+FFFD in
// their place (the dialog and every path are text), so it would name
// another file than the one the user chose. Raises when the folder holds a
// file whose name reads as `name` but is spelt with other bytes.
void refuseMangledName(const QByteArray& folder, const QByteArray& name, const QString& context)
{
    const QString shown = QFile::decodeName(name);
    if (!shown.contains(QChar::ReplacementCharacter))
        return;
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return;
    bool mangled = false;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray other(entry->d_name);
        if (other != name && QFile::decodeName(other) == shown) {
            mangled = true;
            break;
        }
    }
    ::closedir(dir);
    if (mangled)
        raiseError(ErrPathAccess,
            context
                + QStringLiteral(": the file's name holds bytes that are not UTF-8, which this program "
                                 "cannot write exactly; nothing was written. Choose another name."));
}

// The chosen path's file under the rules; raises AppError with the real
// cause, naming the chosen path and, when its links lead elsewhere, the
// file they lead to.
replace::Target resolveTarget(const QString& path)
{
    if (path.isEmpty())
        raiseError(ErrInvalidCall, QStringLiteral("No file name was given."));
    replace::Target target;
    const int status = replace::resolve(QFile::encodeName(path).constData(), target);
    QString context = path;
    if (!target.path.empty()) {
        const QByteArray native = QByteArray::fromStdString(target.path);
        const QString shown = QFile::decodeName(native);
        if (target.linked)
            context = path + QStringLiteral(" -> ") + shown;
        // The writers and the converter get the target as text: it must
        // spell the very file it names.
        if (QFile::encodeName(shown) != native)
            raiseError(ErrPathAccess,
                context
                    + QStringLiteral(": the path holds bytes that are not UTF-8, which this program "
                                     "cannot write exactly; nothing was written."));
        refuseMangledName(folderOf(native), nameOf(native), context);
    }
    if (status == replace::NotRegular)
        raiseError(ErrPathAccess,
            context + QStringLiteral(": this is ") + kindOf(target.kind)
                + QStringLiteral(", not a file; nothing was written to it."));
    if (status > 0)
        raiseErrno(context, status);
    if (status != replace::Ok)
        raiseError(
            ErrPathAccess, context + QStringLiteral(": ") + QString::fromUtf8(replace::statusText(status)));
    return target;
}

SaveTarget saveTargetOf(const replace::Target& resolved)
{
    SaveTarget target;
    target.path = QFile::decodeName(QByteArray::fromStdString(resolved.path));
    target.linked = resolved.linked;
    target.exists = resolved.exists;
    target.device = resolved.device;
    target.inode = resolved.inode;
    target.mode = resolved.mode;
    target.owner = resolved.owner;
    target.group = resolved.group;
    return target;
}

} // namespace

SaveTarget checkSaveTarget(const QString& path)
{
    return saveTargetOf(resolveTarget(path));
}

void removeAbandonedSavesIn(const QString& folder)
{
    if (folder.isEmpty())
        return;
    const std::string native = QFile::encodeName(folder).toStdString();
    for (const char* tag : {".orvane-", ".nconvert-"})
        replace::removeAbandonedIn(native, tag);
}

void removeAbandonedBeside(const QString& target)
{
    const qsizetype slash = target.lastIndexOf(QLatin1Char('/'));
    removeAbandonedSavesIn(slash < 0 ? QStringLiteral(".")
            : slash == 0             ? QStringLiteral("/")
                                     : target.left(slash));
}

SaveFile::SaveFile(const QString& path, NewFileMode mode)
    : chosen_(path)
{
    const replace::Target resolved = resolveTarget(path);
    target_ = saveTargetOf(resolved);
    removeAbandonedBeside(target_.path);
    if (const int status = file_.open(resolved, ".orvane-", unsigned(mode)))
        raiseFailure(status);
}

void SaveFile::raiseFailure(int err) const
{
    const QString context = target_.linked ? chosen_ + QStringLiteral(" -> ") + target_.path : chosen_;
    if (err > 0)
        raiseErrno(context, err);
    raiseError(ErrDeviceIO, context + QStringLiteral(": ") + QString::fromUtf8(replace::statusText(err)));
}

void SaveFile::commit()
{
    if (const int status = file_.commit())
        raiseFailure(status);
}

} // namespace orvane
