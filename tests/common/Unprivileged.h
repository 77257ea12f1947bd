#pragma once
// Runs a part of a test as the unprivileged user "nobody", since root
// passes every permission check. The test program is started again through
// setpriv with "--child" and the given arguments; its main() hands those to
// the test's own child code.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <unistd.h>

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

// Makes a folder and its parents reachable for nobody (x bits on the way).
inline void openPathFor(const QString& path)
{
    QFileInfo info(path);
    QString dir = info.isDir() ? info.absoluteFilePath() : info.absolutePath();
    while (!dir.isEmpty() && dir != QStringLiteral("/")) {
        QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ExeOther | QFile::ExeGroup);
        dir = QFileInfo(dir).absolutePath();
    }
}

inline ChildResult runAsNobody(const QStringList& arguments, const QStringList& env = {})
{
    ChildResult r;
    r.whyNot = unprivilegedUnavailable();
    if (!r.whyNot.isEmpty())
        return r;
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const QString& kv : env)
        e.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
    e.insert(QStringLiteral("HOME"), QStringLiteral("/tmp"));
    e.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    p.setProcessEnvironment(e);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(setprivPath(),
        QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
            QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath(),
            QStringLiteral("--child")}
            + arguments);
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        r.whyNot = QStringLiteral("the child did not finish");
        return r;
    }
    r.ran = true;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.output = p.readAllStandardOutput();
    return r;
}

} // namespace orvane::test
