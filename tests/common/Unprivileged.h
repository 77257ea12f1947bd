#pragma once
// Runs a part of a test as the unprivileged user "nobody", since root
// passes every permission check. The test program is started again through
// setpriv with "--child" and the given arguments; its main() hands those to
// the test's own child code.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/Spawn.h"

namespace orvane::test {

struct ChildResult {
    bool ran = false;
    QString whyNot;
    int exitCode = -1;
    QByteArray output; // standard output only
};

inline QString setprivPath()
{
    return QStandardPaths::findExecutable(QStringLiteral("setpriv"));
}

// Empty when a child can be run as nobody; otherwise the reason it cannot.
inline QString unprivilegedUnavailable()
{
    if (::geteuid() != 0)
        return QStringLiteral("not running as root, so the permission cases cannot be set up");
    if (setprivPath().isEmpty())
        return QStringLiteral("setpriv is not installed");
    return QString();
}

inline uid_t nobodyUid()
{
    const passwd* nobody = ::getpwnam("nobody");
    return nobody ? nobody->pw_uid : uid_t(-1);
}

// Makes a folder and its parents reachable for nobody (x bits on the way).
// A folder others can already pass through is left as it is (the shared
// temporary folder, the system's folders); one that needs the bits keeps
// every other bit of its mode, the sticky bit too.
inline void openPathFor(const QString& path)
{
    QFileInfo info(path);
    QString dir = info.isDir() ? info.absoluteFilePath() : info.absolutePath();
    while (!dir.isEmpty() && dir != QStringLiteral("/")) {
        const QByteArray native = QFile::encodeName(dir);
        struct stat st { };
        if (::stat(native.constData(), &st) == 0 && (st.st_mode & S_IXOTH) == 0)
            (void)::chmod(native.constData(), (st.st_mode & 07777) | S_IXGRP | S_IXOTH);
        dir = QFileInfo(dir).absolutePath();
    }
}

// The environment for a process run as nobody: the home and runtime folder
// that the test runner made for nobody (owned by nobody, 0700), else /tmp
// and none; none of the folders of the user who runs the tests.
inline QProcessEnvironment nobodyEnvironment(QProcessEnvironment e)
{
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"})
        e.remove(QLatin1String(name));
    const QString home = qEnvironmentVariable("ORVANE_TEST_NOBODY_HOME");
    if (home.isEmpty()) {
        e.insert(QStringLiteral("HOME"), QStringLiteral("/tmp"));
    } else {
        e.insert(QStringLiteral("HOME"), home);
        e.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/runtime"));
    }
    return e;
}

inline ChildResult runAsNobody(const QStringList& arguments, const QStringList& env = {})
{
    ChildResult r;
    r.whyNot = unprivilegedUnavailable();
    if (!r.whyNot.isEmpty())
        return r;
    QProcessEnvironment e = nobodyEnvironment(QProcessEnvironment::systemEnvironment());
    for (const QString& kv : env)
        e.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
    Spawn p;
    if (!p.start(setprivPath(),
            QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath(),
                QStringLiteral("--child")}
                + arguments,
            e)) {
        r.whyNot = p.error();
        return r;
    }
    // A child that does not end is a failure of the case, not a reason to
    // skip it.
    r.ran = true;
    r.exitCode = p.wait(300000) ? p.exitCode() : -1;
    if (p.running()) {
        p.kill();
        r.whyNot = QStringLiteral("the child did not end within 300 s");
    }
    r.output = p.output();
    return r;
}

} // namespace orvane::test
