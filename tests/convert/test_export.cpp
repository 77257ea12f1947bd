// "Save As TIFF" and "Save As PNG" end to end: the real converter carried
// by the program, written to the temporary folder, run and removed.
#include "common/ExportWindow.h"
#include "common/FileGate.h"
#include "common/RecordingDesktop.h"
#include "common/TestFiles.h"
#include "convert/ExportFiles.h"
#include "replace/Replace.h"
#include "shell/Form.h"
#include "shell/PictureBox.h"
#include "shell/PrivateFolder.h"

#include <QDirIterator>
#include <QFile>
#include <QImageReader>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace orvane;

class TestExport : public QObject {
    Q_OBJECT
    QTemporaryDir temp_;
    QTemporaryDir out_;
    std::unique_ptr<test::RecordingDesktop> desktop_;
    std::unique_ptr<test::ExportWindow> view_;

    void save(int button, const QString& path)
    {
        desktop_->saveAnswers = {path};
        button == 4 ? view_->PushButton4_Click() : view_->PushButton5_Click();
    }

    void expectNothingLeft()
    {
        QVERIFY(!QFile::exists(temp_.filePath(QStringLiteral("tempscan.bmp"))));
        QVERIFY(!QFile::exists(temp_.filePath(QStringLiteral("nconvert.exe"))));
    }

private Q_SLOTS:
    void init()
    {
        qputenv("TEMP", temp_.path().toUtf8());
        desktop_ = std::make_unique<test::RecordingDesktop>();
        view_ = std::make_unique<test::ExportWindow>(temp_.path());
        view_->picBuffer.setPicture(test::noisyPicture(300, 200));
        view_->show();
    }
    void cleanup()
    {
        view_.reset();
        desktop_.reset();
    }

    void formats_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QString>("filter");
        QTest::newRow("TIFF") << 4 << "page one.tiff" << QByteArray("tiff") << "TIFF Files (*.tiff)";
        QTest::newRow("PNG") << 5 << "page one.png" << QByteArray("png") << "PNG Files (*.png)";
        QTest::newRow("TIFF, no extension") << 4 << "scan" << QByteArray("tiff") << "TIFF Files (*.tiff)";
        QTest::newRow("PNG, no extension") << 5 << "scan2" << QByteArray("png") << "PNG Files (*.png)";
    }
    // The chosen path, spaces and all, gets the format of the button,
    // pixel for pixel, and nothing stays in the temporary folder.
    void formats()
    {
        QFETCH(int, button);
        QFETCH(QString, name);
        QFETCH(QByteArray, format);
        QFETCH(QString, filter);
        const QString path = out_.filePath(name);
        save(button, path);
        QCOMPARE(desktop_->saveDialogFilters, QStringList{filter});
        QCOMPARE(desktop_->texts(), QStringList{QStringLiteral("Done.")});
        QCOMPARE(QImageReader::imageFormat(path), format);
        const QImage written(path);
        QCOMPARE(written.convertToFormat(QImage::Format_RGB32), view_->picBuffer.picture());
        QCOMPARE(written.dotsPerMeterX(), 11811);
        expectNothingLeft();
        QVERIFY(!view_->isConverting());
        QCOMPARE(view_->MousePointer(), int(vbDefault));
    }

    void cancelWritesNothing()
    {
        view_->PushButton5_Click();
        QVERIFY(desktop_->messages.isEmpty());
        QVERIFY(!view_->isConverting());
        expectNothingLeft();
    }

    void existingFileIsReplacedOnSuccess()
    {
        const QString path = out_.filePath(QStringLiteral("old.png"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("the user's old file");
        f.close();
        save(5, path);
        QCOMPARE(QImageReader(path).format(), QByteArray("png"));
    }

    // The converter dies half-way: the old file is untouched, the report
    // names line 152, and "Done." is not shown.
    void killedConversionKeepsTheOldFile()
    {
        view_->picBuffer.setPicture(test::noisyPicture(3000, 3000));
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("keep.tiff"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("the user's old file");
        f.close();
        // The converter is held at its start and killed there. The save
        // waits in posix_spawn meanwhile, so the killer is a thread.
        test::FileGate gate(temp_.path(), test::FileGate::At::Exec);
        if (!gate.whyNot().isEmpty())
            QSKIP(qPrintable(gate.whyNot()));
        std::atomic<int> killed = 0;
        std::atomic<bool> saved = false;
        std::thread killer([&] {
            while (!saved && killed == 0) {
                for (int pid : gate.held())
                    if (::kill(pid, SIGKILL) == 0)
                        ++killed;
                ::poll(nullptr, 0, 5);
            }
        });
        save(4, path);
        saved = true;
        killer.join();
        gate.open();
        QVERIFY(killed > 0);
        QCOMPARE(test::contents(path), QByteArray("the user's old file"));
        QCOMPARE(desktop_->messages.size(), 1);
        QVERIFY2(desktop_->messages[0].text.contains(QStringLiteral(
                     "\nin Orvane_Capture_Desk2021/08/31.Form2.PushButton4_Click at line 152\n")),
            qPrintable(desktop_->messages[0].text));
        expectNothingLeft();
        const QStringList leftovers = QDir(folder.path()).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(leftovers, QStringList{QStringLiteral("keep.tiff")});
    }

    void staleUnfinishedOutputIsRemoved_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("nameBytes");
        QTest::newRow("TIFF") << 4 << 9;
        QTest::newRow("PNG") << 5 << 8;
        QTest::newRow("PNG, 240-byte name") << 5 << 240;
    }
    // What a converter or a save killed together with the program left
    // beside the target, or beside another file of its folder, goes at the
    // next export to that folder, also a successful one; hidden files of
    // other names, a hidden file still being written and links stay.
    void staleUnfinishedOutputIsRemoved()
    {
        QFETCH(int, button);
        QFETCH(int, nameBytes);
        const QString suffix = button == 4 ? QStringLiteral(".tiff") : QStringLiteral(".png");
        const QString name = QString(nameBytes - suffix.size(), QLatin1Char('p')) + suffix;
        const QString stem = QLatin1Char('.') + name.left(200) + QStringLiteral(".nconvert-");
        const QString saveStem = QLatin1Char('.') + name.left(200) + QStringLiteral(".orvane-");
        const QStringList stale{stem + QStringLiteral("AbC123"), stem + QStringLiteral("zZ9_x0"),
            saveStem + QStringLiteral("AbC123"), QStringLiteral(".other.png.nconvert-AbC123")};
        const QStringList others{stem + QStringLiteral("short"), QStringLiteral(".other.png.nconvert-AbC12"),
            saveStem + QStringLiteral("AbC1234")};
        for (const QString& n : stale + others)
            test::writeFile(out_.filePath(n), "left behind");
        const QString link = stem + QStringLiteral("Lnk001");
        QVERIFY(QFile::link(out_.filePath(others[1]), out_.filePath(link)));
        // Another save to the same target, still writing.
        replace::Beside writing;
        QCOMPARE(writing.open(QFile::encodeName(out_.filePath(name)).constData(), ".orvane-"), 0);
        QCOMPARE(writing.write("in use", 6), 0);
        save(button, out_.filePath(name));
        QCOMPARE(desktop_->texts(), QStringList{QStringLiteral("Done.")});
        for (const QString& n : stale)
            QVERIFY2(!QFile::exists(out_.filePath(n)), qPrintable(n));
        for (const QString& n : others)
            QCOMPARE(test::contents(out_.filePath(n)), QByteArray("left behind"));
        QVERIFY(QFileInfo(out_.filePath(link)).isSymLink());
        QCOMPARE(test::contents(QString::fromStdString(writing.hiddenPath())), QByteArray("in use"));
        writing.abandon();
        QVERIFY(QImageReader(out_.filePath(name)).canRead());
        for (const QString& n : others + QStringList{link})
            QFile::remove(out_.filePath(n));
        QFile::remove(out_.filePath(name));
    }

    // A second click while the converter runs does nothing; "< Back" and
    // the other commands still work.
    void secondClickDuringConversionIsIgnored()
    {
        view_->picBuffer.setPicture(test::noisyPicture(2000, 2000));
        bool checked = false;
        QTimer::singleShot(30, [&] {
            QVERIFY(view_->isConverting());
            QCOMPARE(view_->MousePointer(), int(vbHourglass));
            view_->PushButton5_Click();
            view_->PushButton4_Click();
            checked = true;
        });
        save(4, out_.filePath(QStringLiteral("first.tiff")));
        QVERIFY(checked);
        QCOMPARE(desktop_->saveDialogTitles.size(), 1);
        QCOMPARE(desktop_->texts(), QStringList{QStringLiteral("Done.")});
    }

    // Whatever lies at the converter's path is never run unless it is the
    // converter this program carries; it is replaced and removed.
    void plantedConverterIsNeverRun()
    {
        const QString marker = out_.filePath(QStringLiteral("planted-ran"));
        const QString planted = temp_.filePath(QStringLiteral("nconvert.exe"));
        QFile f(planted);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("#!/bin/sh\ntouch '%1'\n").arg(marker).toUtf8());
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString path = out_.filePath(QStringLiteral("safe.png"));
        save(5, path);
        QVERIFY(!QFile::exists(marker));
        QCOMPARE(QImageReader(path).format(), QByteArray("png"));
        expectNothingLeft();
    }

    void plantedLinkIsNotFollowed()
    {
        const QString victim = out_.filePath(QStringLiteral("victim"));
        QFile v(victim);
        QVERIFY(v.open(QIODevice::WriteOnly));
        v.write("precious");
        v.close();
        QVERIFY(QFile::link(victim, temp_.filePath(QStringLiteral("nconvert.exe"))));
        QVERIFY(QFile::link(victim, temp_.filePath(QStringLiteral("tempscan.bmp"))));
        save(4, out_.filePath(QStringLiteral("linked.tiff")));
        QCOMPARE(test::contents(victim), QByteArray("precious"));
        QCOMPARE(desktop_->texts(), QStringList{QStringLiteral("Done.")});
        expectNothingLeft();
    }

    // Names Linux allows and a Windows command line would split wrongly:
    // the file appears at exactly the chosen path, and nothing else is
    // made or replaced in its folder.
    void hostileNames_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("name");
        const QStringList names{"my \"best\" scan", "ends in backslash\\", "back\\\"slash quote", "\"",
            "\\\\", "-o", "--help", "- leading dash", "  spaces  ", "tab\tand\nnewline", "ünïcødé € 日本",
            "\"\" doubled", "$(touch x) `y` 'z' %TEMP%"};
        for (const QString& n : names) {
            QTest::addRow("TIFF %s", qPrintable(n)) << 4 << n + QStringLiteral(".tiff");
            QTest::addRow("PNG %s", qPrintable(n)) << 5 << n;
        }
    }
    void hostileNames()
    {
        QFETCH(int, button);
        QFETCH(QString, name);
        QTemporaryDir folder;
        const QString bystander = folder.filePath(QStringLiteral("bystander"));
        test::writeFile(bystander, "keep me");
        const QString path = folder.filePath(name);
        const QStringList elsewhere = QDir(out_.path()).entryList(QDir::AllEntries | QDir::Hidden);
        save(button, path);
        QCOMPARE(desktop_->texts(), QStringList{QStringLiteral("Done.")});
        QCOMPARE(QImageReader::imageFormat(path), button == 4 ? QByteArray("tiff") : QByteArray("png"));
        QCOMPARE(QImage(path).convertToFormat(QImage::Format_RGB32), view_->picBuffer.picture());
        QStringList expected{QStringLiteral("bystander"), name};
        expected.sort();
        QStringList found
            = QDir(folder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        found.sort();
        QCOMPARE(found, expected);
        QCOMPARE(test::contents(bystander), QByteArray("keep me"));
        QCOMPARE(QDir(out_.path()).entryList(QDir::AllEntries | QDir::Hidden), elsewhere);
        expectNothingLeft();
    }

    // A temporary folder that others can write: the export's files go to
    // the user's runtime folder when it is the user's alone, else to a
    // folder of a name no one can predict, made for the export and removed
    // after it.
    void sharedTemporaryFolderIsNotWhereTheFilesGo_data()
    {
        QTest::addColumn<QString>("runtime");
        QTest::newRow("runtime folder of the user's") << "own";
        QTest::newRow("runtime folder others may write") << "open";
        QTest::newRow("no runtime folder") << "none";
    }
    void sharedTemporaryFolderIsNotWhereTheFilesGo()
    {
        QFETCH(QString, runtime);
        QTemporaryDir shared;
        QTemporaryDir runtimeFolder;
        QVERIFY(::chmod(QFile::encodeName(shared.path()).constData(), 01777) == 0);
        qputenv("TEMP", shared.path().toUtf8());
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        if (runtime == QLatin1String("none")) {
            qunsetenv("XDG_RUNTIME_DIR");
        } else {
            qputenv("XDG_RUNTIME_DIR", runtimeFolder.path().toUtf8());
            QVERIFY(::chmod(QFile::encodeName(runtimeFolder.path()).constData(),
                        runtime == QLatin1String("own") ? 0700 : 0777)
                == 0);
        }
        {
            ExportFolder files;
            files.open();
            struct stat st { };
            QVERIFY(::lstat(QFile::encodeName(files.path()).constData(), &st) == 0);
            QVERIFY(S_ISDIR(st.st_mode));
            QCOMPARE(st.st_mode & 07777, 0700u);
            QCOMPARE(st.st_uid, ::geteuid());
            QVERIFY(!files.lockPath().startsWith(shared.path() + QLatin1Char('/')));
            if (runtime == QLatin1String("own")) {
                QCOMPARE(files.path(), runtimeFolder.filePath(QStringLiteral("orvane-capture-desk")));
                QVERIFY(!files.isUnique());
            } else {
                QVERIFY(files.isUnique());
                QCOMPARE(QFileInfo(files.path()).path(), shared.path());
                const QRegularExpression name(
                    QStringLiteral("^orvane-capture-desk-%1-[A-Za-z0-9]{6}$").arg(::geteuid()));
                QVERIFY2(name.match(QFileInfo(files.path()).fileName()).hasMatch(), qPrintable(files.path()));
                ExportFolder second;
                second.open();
                QVERIFY(second.path() != files.path());
            }
            QCOMPARE(files.converterPath(), files.path() + QStringLiteral("/nconvert.exe"));
            QCOMPARE(files.temporaryBmpPath(), files.path() + QStringLiteral("/tempscan.bmp"));
            // An export while this folder is still held does not take it.
            const QString path = out_.filePath(QStringLiteral("shared.png"));
            save(5, path);
            QCOMPARE(desktop_->texts(), QStringList{QStringLiteral("Done.")});
            QCOMPARE(QImage(path).convertToFormat(QImage::Format_RGB32), view_->picBuffer.picture());
            const QStringList left = QDir(shared.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
            QCOMPARE(
                left, files.isUnique() ? QStringList{QFileInfo(files.path()).fileName()} : QStringList());
            QCOMPARE(QDir(files.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                QStringList());
        }
        QCOMPARE(QDir(shared.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
    }

    // What killed exports left in a shared temporary folder goes at the
    // next export or start: this user's folders of the export's names and
    // the files in them, but no folder another export still holds, and
    // nothing a link leads to.
    void leftoversOfKilledExportsAreRemoved_data()
    {
        QTest::addColumn<bool>("atStart");
        QTest::newRow("next export") << false;
        QTest::newRow("next start") << true;
    }
    void leftoversOfKilledExportsAreRemoved()
    {
        QFETCH(bool, atStart);
        QTemporaryDir shared;
        QVERIFY(::chmod(QFile::encodeName(shared.path()).constData(), 01777) == 0);
        qputenv("TEMP", shared.path().toUtf8());
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        qunsetenv("XDG_RUNTIME_DIR");
        const QString prefix = shared.filePath(QStringLiteral("orvane-capture-desk-%1").arg(::geteuid()));
        const QString stale = prefix + QStringLiteral("-AbC123");
        const QString earlier = prefix; // the fixed name earlier versions used
        const QString otherName = prefix + QStringLiteral("-AbC12");
        const QString link = prefix + QStringLiteral("-Link01");
        QTemporaryDir precious;
        test::writeFile(precious.filePath(QStringLiteral("nconvert.exe")), "keep");
        QVERIFY(QFile::link(precious.path(), link));
        for (const QString& folder : {stale, earlier, otherName}) {
            QVERIFY(QDir().mkdir(folder));
            test::writeFile(folder + QStringLiteral("/tempscan.bmp"), "left behind");
        }
        test::writeFile(stale + QStringLiteral("/nconvert.exe"), "left behind");
        ExportFolder live;
        live.open();
        test::writeFile(live.temporaryBmpPath(), "in use");

        if (atStart) {
            removeExportLeftovers(); // as the main window's start does
        } else {
            save(4, out_.filePath(QStringLiteral("after-kill.tiff")));
            QCOMPARE(desktop_->texts(), QStringList{QStringLiteral("Done.")});
        }
        QVERIFY(!QFileInfo::exists(stale));
        QVERIFY(!QFileInfo::exists(earlier));
        QCOMPARE(test::contents(otherName + QStringLiteral("/tempscan.bmp")), QByteArray("left behind"));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(test::contents(precious.filePath(QStringLiteral("nconvert.exe"))), QByteArray("keep"));
        QCOMPARE(test::contents(live.temporaryBmpPath()), QByteArray("in use"));
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
    }

    // While another copy's export holds the lock this one waits under the
    // hourglass, its windows alive, and writes nothing; then it runs.
    void secondCopyWaitsForTheExportLock()
    {
        ExportFolder files;
        files.open();
        FolderLock other;
        QVERIFY(other.tryAcquire(files.lockPath()));
        int ticks = 0;
        bool sawNothingWritten = true;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (!other.held())
                return;
            ++ticks;
            sawNothingWritten = sawNothingWritten && view_->MousePointer() == vbHourglass
                && !QFile::exists(files.converterPath()) && !QFile::exists(files.temporaryBmpPath());
            if (ticks == 5)
                other.release();
        });
        poll.start(20);
        const QString path = out_.filePath(QStringLiteral("after.png"));
        save(5, path);
        QCOMPARE(ticks, 5);
        QVERIFY(sawNothingWritten);
        QCOMPARE(desktop_->texts(), QStringList{QStringLiteral("Done.")});
        QCOMPARE(QImageReader::imageFormat(path), QByteArray("png"));
        QVERIFY(!QFile::exists(files.lockPath()));
        expectNothingLeft();
    }

    void temporaryFolderFallsBackWithoutTemp()
    {
        QTemporaryDir tmpdir;
        qunsetenv("TEMP");
        qputenv("TMPDIR", tmpdir.path().toUtf8());
        {
            ExportFolder files;
            files.open();
            QCOMPARE(files.converterPath(), tmpdir.path() + QStringLiteral("/nconvert.exe"));
        }
        const QString path = out_.filePath(QStringLiteral("no-temp.png"));
        save(5, path);
        QCOMPARE(desktop_->texts(), QStringList{QStringLiteral("Done.")});
        QVERIFY(QDir(tmpdir.path()).isEmpty());
        qputenv("TEMP", "");
        QCOMPARE(temporaryFolder(), tmpdir.path());
        qunsetenv("TMPDIR");
        QCOMPARE(temporaryFolder(), QStringLiteral("/tmp"));
    }

    void unwritableTemporaryFolderIsReported()
    {
        qputenv("TEMP", out_.filePath(QStringLiteral("missing-folder")).toUtf8());
        const QString path = out_.filePath(QStringLiteral("never.png"));
        save(5, path);
        QVERIFY(!QFile::exists(path));
        QStringList lines;
        for (const auto& m : desktop_->messages) {
            QCOMPARE(m.title, QStringLiteral("Application Error"));
            lines << m.text.section(QStringLiteral(" at line "), 1, 1).section(QLatin1Char('\n'), 0, 0);
        }
        // The export's own folder cannot be made: the export ends there.
        QCOMPARE(lines, (QStringList{"128"}));
        QVERIFY(!view_->isConverting());
        QCOMPARE(view_->MousePointer(), int(vbDefault));
    }
};

QTEST_MAIN(TestExport)
#include "test_export.moc"
