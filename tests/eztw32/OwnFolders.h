// The folders the library keeps its runtime files and settings in, the
// test's own, inside its temporary folder.
#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Called from initTestCase (a failure ends it there).
inline void useOwnFolders(const QTemporaryDir& tmp)
{
    QVERIFY(tmp.isValid());
    const QString runtime = tmp.filePath(QStringLiteral("runtime"));
    QVERIFY(QDir().mkpath(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", tmp.filePath(QStringLiteral("config")).toLocal8Bit());
}

} // namespace
