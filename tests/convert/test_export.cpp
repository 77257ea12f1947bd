// "Save As TIFF" and "Save As PNG" end to end: the real converter carried
// by the program, written to the temporary folder, run and removed.
#include "app/Form.h"
#include "app/Form1.h"
#include "app/PictureBox.h"
#include "common/RecordingDesktop.h"
#include "common/TestFiles.h"
#include "convert/Deploy.h"
#include "viewer/Form2.h"

#include <QDirIterator>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace orvane;


class TestExport : public QObject {
    Q_OBJECT
    QTemporaryDir temp_;
    QTemporaryDir out_;
    std::unique_ptr<test::RecordingDesktop> desktop_;
    std::unique_ptr<Form1> main_;
    Form2* view_ = nullptr;

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
        main_ = std::make_unique<Form1>(temp_.path());
        view_ = &main_->viewer();
        main_->picBuffer->setPicture(test::noisyPicture(300, 200));
        view_->show();
    }
    void cleanup()
    {
        view_ = nullptr;
        main_.reset();
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
        QCOMPARE(written.convertToFormat(QImage::Format_RGB32), main_->picBuffer->picture());
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
        main_->picBuffer->setPicture(test::noisyPicture(3000, 3000));
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("keep.tiff"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("the user's old file");
        f.close();
        int killed = 0;
        QTimer killer;
        connect(&killer, &QTimer::timeout, [&] {
            for (int pid : test::processesRunning(converterPath())) {
                ::kill(pid, SIGKILL);
                ++killed;
            }
            if (killed)
                killer.stop();
        });
        killer.start(5);
        save(4, path);
        QVERIFY(killed > 0);
        QCOMPARE(test::contents(path), QByteArray("the user's old file"));
        QCOMPARE(desktop_->messages.size(), 1);
        QVERIFY2(desktop_->messages[0].text.contains(
                     QStringLiteral("\nin Orvane_Capture_Desk2021/08/31.Form2.PushButton4_Click at line 152\n")),
                 qPrintable(desktop_->messages[0].text));
        expectNothingLeft();
        const QStringList leftovers = QDir(folder.path()).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(leftovers, QStringList{QStringLiteral("keep.tiff")});
    }

    // A second click while the converter runs does nothing; "< Back" and
    // the other commands still work.
    void secondClickDuringConversionIsIgnored()
    {
        main_->picBuffer->setPicture(test::noisyPicture(2000, 2000));
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

    void temporaryFolderFallsBackWithoutTemp()
    {
        QTemporaryDir tmpdir;
        qunsetenv("TEMP");
        qputenv("TMPDIR", tmpdir.path().toUtf8());
        QCOMPARE(converterPath(), tmpdir.path() + QStringLiteral("/nconvert.exe"));
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
        QCOMPARE(lines, (QStringList{"132", "140", "152"}));
        QVERIFY(!view_->isConverting());
        QCOMPARE(view_->MousePointer(), int(vbDefault));
    }
};

QTEST_MAIN(TestExport)
#include "test_export.moc"
