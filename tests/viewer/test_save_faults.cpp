// Every save command against the faults users meet: a read-only, missing
// or full target folder, a folder in the way, a name too long, and for TIFF
// and PNG a temporary folder that is full, read-only or noexec. Each ends
// with a clear report, no "Done.", the old file byte-identical, nothing
// temporary left, and the next save working.
#include "common/RecordingDesktop.h"
#include "common/TestFiles.h"
#include "common/TmpfsMount.h"
#include "common/ViewerMain.h"
#include "shell/PictureBox.h"
#include "viewer/Form2.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <unistd.h>

using namespace orvane;

namespace {

QStringList listing(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

struct Format {
    int button;
    const char* extension;
    int line; // the line a failed write is reported at
    int refused; // the line a target that cannot be written is refused at
};

// TIFF and PNG refuse such a target as soon as it is chosen, before the
// converter is put in place.
const Format formats[]
    = {{1, "jpg", 122, 122}, {3, "bmp", 122, 122}, {4, "tiff", 152, 114}, {5, "png", 152, 114}};

} // namespace

class TestSaveFaults : public QObject {
    Q_OBJECT
    QTemporaryDir work_;
    std::unique_ptr<test::RecordingDesktop> desktop_;
    std::unique_ptr<test::ViewerMain> main_;
    Form2* view_ = nullptr;

    void save(int button, const QString& path)
    {
        desktop_->messages.clear();
        desktop_->saveAnswers = {path};
        switch (button) {
        case 1:
            view_->PushButton1_Click();
            break;
        case 3:
            view_->PushButton3_Click();
            break;
        case 4:
            view_->PushButton4_Click();
            break;
        default:
            view_->PushButton5_Click();
            break;
        }
    }

    // The program goes on working: the same command to a good path.
    void expectNextSaveWorks(const Format& f)
    {
        const QString good = work_.filePath(QStringLiteral("good.") + QLatin1String(f.extension));
        QFile::remove(good);
        save(f.button, good);
        QCOMPARE(desktop_->texts(), QStringList{QStringLiteral("Done.")});
        QVERIFY(QImageReader(good).canRead());
    }

    void expectReport(const Format& f, const QString& cause, bool refused = false)
    {
        QVERIFY2(
            !desktop_->texts().contains(QStringLiteral("Done.")), qPrintable(desktop_->texts().join('|')));
        QVERIFY(!desktop_->messages.isEmpty());
        const test::Message& last = desktop_->messages.last();
        QCOMPARE(last.title, QStringLiteral("Application Error"));
        const int line = refused ? f.refused : f.line;
        QVERIFY2(last.text.contains(QStringLiteral("_Click at line %1\n").arg(line)), qPrintable(last.text));
        bool named = false;
        for (const QString& c : cause.split(QLatin1Char('|')))
            named = named || last.text.contains(c, Qt::CaseInsensitive);
        QVERIFY2(named, qPrintable(last.text));
        QVERIFY(!view_->isConverting());
        QCOMPARE(view_->MousePointer(), int(vbDefault));
    }

private Q_SLOTS:
    void init()
    {
        const QString temp = work_.filePath(QStringLiteral("temp"));
        QDir().mkpath(temp);
        qputenv("TEMP", temp.toUtf8());
        desktop_ = std::make_unique<test::RecordingDesktop>();
        main_ = std::make_unique<test::ViewerMain>(work_.path());
        view_ = &main_->viewer();
        main_->picBuffer->setPicture(test::noisyPicture(800, 600));
    }
    void cleanup()
    {
        view_ = nullptr;
        main_.reset();
        desktop_.reset();
        QCOMPARE(listing(work_.filePath(QStringLiteral("temp"))), QStringList());
    }

    void targetFaults_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("fault");
        for (int i = 0; i < 4; ++i)
            for (const char* fault :
                {"read-only folder", "missing folder", "folder in the way", "name too long", "disk full"})
                QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(formats[i].extension, fault)))
                    << i << fault;
    }
    void targetFaults()
    {
        QFETCH(int, format);
        QFETCH(QString, fault);
        const Format& f = formats[format];
        const QString name = QStringLiteral("page.") + QLatin1String(f.extension);
        const QByteArray old("the user's old file, which must survive");
        std::unique_ptr<test::TmpfsMount> mount;
        QString folder = work_.filePath(QStringLiteral("out"));
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        QString target = folder + QLatin1Char('/') + name;
        QString cause;
        if (fault == QLatin1String("read-only folder") || fault == QLatin1String("disk full")) {
            mount = std::make_unique<test::TmpfsMount>(
                fault == QLatin1String("disk full") ? QStringLiteral("size=64k") : QStringLiteral("size=4m"));
            if (!mount->ok())
                QSKIP(qPrintable(mount->whyNot));
            folder = mount->path;
            target = mount->filePath(name);
            test::writeFile(target, old);
            if (fault == QLatin1String("read-only folder"))
                QVERIFY(mount->remountReadOnly());
            cause = fault == QLatin1String("disk full") ? QStringLiteral("space")
                                                        : QStringLiteral("read-only|not writable");
        } else if (fault == QLatin1String("missing folder")) {
            target = folder + QStringLiteral("/no such folder/") + name;
            cause = QStringLiteral("no such file");
        } else if (fault == QLatin1String("folder in the way")) {
            QDir().mkpath(target);
            test::writeFile(target + QStringLiteral("/inside"), old);
            cause = QStringLiteral("directory");
        } else {
            target = folder + QLatin1Char('/') + QString(300, QLatin1Char('a')) + QLatin1Char('.')
                + QLatin1String(f.extension);
            cause = QStringLiteral("too long");
        }
        const QStringList before = listing(folder);

        save(f.button, target);

        expectReport(f, cause, fault != QLatin1String("disk full"));
        QCOMPARE(listing(folder), before); // nothing partial or temporary left
        if (fault == QLatin1String("folder in the way"))
            QCOMPARE(test::contents(target + QStringLiteral("/inside")), old);
        else if (mount)
            QCOMPARE(test::contents(target), old);
        expectNextSaveWorks(f);
    }

    void temporaryFolderFaults_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("cause");
        QTest::addColumn<int>("line");
        // A temporary folder of the user's own (a tmpfs of mode 0700): the
        // export's files go there. Full, the picture cannot be written and
        // the converter is not run; read-only, not even the export's lock
        // can be made.
        for (int i : {2, 3}) {
            QTest::newRow(qPrintable(QStringLiteral("%1, full").arg(formats[i].extension)))
                << i << "size=16k"
                << "no space left on device" << 140;
            QTest::newRow(qPrintable(QStringLiteral("%1, read-only").arg(formats[i].extension)))
                << i << "ro"
                << "read-only file system" << 128;
            QTest::newRow(qPrintable(QStringLiteral("%1, noexec").arg(formats[i].extension)))
                << i << "noexec"
                << "permission denied" << 152;
        }
    }
    void temporaryFolderFaults()
    {
        QFETCH(int, format);
        QFETCH(QString, options);
        QFETCH(QString, cause);
        QFETCH(int, line);
        Format f = formats[format];
        f.line = line;
        test::TmpfsMount temp(
            (options.startsWith(QLatin1String("size")) ? options : QStringLiteral("size=16m"))
                + QStringLiteral(",mode=0700"),
            options == QLatin1String("ro")           ? MS_RDONLY
                : options == QLatin1String("noexec") ? MS_NOEXEC
                                                     : 0);
        if (!temp.ok())
            QSKIP(qPrintable(temp.whyNot));
        const QByteArray savedTemp = qgetenv("TEMP");
        qputenv("TEMP", temp.path.toUtf8());
        const QString target = work_.filePath(QStringLiteral("kept.") + QLatin1String(f.extension));
        const QByteArray old("old picture");
        test::writeFile(target, old);
        const QStringList before = listing(work_.path());

        save(f.button, target);

        expectReport(f, cause);
        QCOMPARE(test::contents(target), old);
        QCOMPARE(listing(temp.path), QStringList());
        QCOMPARE(listing(work_.path()), before); // nothing left beside the target
        qputenv("TEMP", savedTemp);
        expectNextSaveWorks(f);
        QFile::remove(target);
    }
};

QTEST_MAIN(TestSaveFaults)
#include "test_save_faults.moc"
