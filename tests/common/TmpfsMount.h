#pragma once
// A small tmpfs mounted for one test (a full disk, a read-only or noexec
// folder), unmounted again when it goes out of scope. Needs root; without
// it `whyNot` says why.
#include <QDir>
#include <QString>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>

namespace orvane::test {

class TmpfsMount {
public:
    // `options` such as "size=256k", "ro", "noexec"; flags MS_RDONLY etc.
    TmpfsMount(const QString& options, unsigned long flags = 0)
    {
        if (!holder_.isValid()) {
            whyNot = QStringLiteral("no temporary folder");
            return;
        }
        path = holder_.path();
        if (::mount(
                "tmpfs", path.toLocal8Bit().constData(), "tmpfs", flags, options.toLocal8Bit().constData())
            != 0) {
            whyNot = QStringLiteral("cannot mount a tmpfs here: ")
                + QString::fromLocal8Bit(std::strerror(errno));
            return;
        }
        mounted_ = true;
    }
    ~TmpfsMount()
    {
        if (mounted_)
            ::umount2(path.toLocal8Bit().constData(), MNT_DETACH);
    }
    bool ok() const { return mounted_; }
    QString filePath(const QString& name) const { return path + QLatin1Char('/') + name; }
    // Mounts it again read-only, keeping what was written.
    bool remountReadOnly()
    {
        return ::mount("tmpfs", path.toLocal8Bit().constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr)
            == 0;
    }

    QString path;
    QString whyNot;

private:
    QTemporaryDir holder_;
    bool mounted_ = false;
};

} // namespace orvane::test
