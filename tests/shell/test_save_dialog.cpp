// The real save dialog, driven by typing into its name field: the path it
// returns is exactly the name typed (quotes, backslashes, a leading minus,
// spaces, non-ASCII letters), in the folder shown; the folder it opens in is
// that of the last save of this run, else the pictures folder, else home.
#include "shell/Desktop.h"
#include "shell/SaveFileDialog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace orvane;

namespace {

// Types `name` into the name field of the modal dialog once it is open,
// then presses Return (or Escape for an empty name). Records the folder the
// dialog showed and the name field's text when it opened.
struct Typist {
    QString name;
    QString shownFolder;
    QString openedWith;
    bool typed = false;

    void arm()
    {
        QTimer::singleShot(0, [this] { typeInto(); });
    }

    void typeInto()
    {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            arm(); // not open yet
            return;
        }
        auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(edit);
        shownFolder = dialog->directory().absolutePath();
        openedWith = edit->text();
        edit->setFocus();
        if (name.isEmpty()) {
            QTest::keyClick(dialog, Qt::Key_Escape);
        } else {
            // Key by key, as typed; letters beyond ASCII come as text.
            for (const QChar c : std::as_const(name)) {
                if (c.unicode() < 0x80)
                    QTest::keyClick(edit, c.toLatin1());
                else
                    QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
            }
            QTest::keyClick(edit, Qt::Key_Return);
        }
        typed = true;
    }
};

} // namespace

class TestSaveDialog : public QObject {
    Q_OBJECT
    QTemporaryDir home_;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(home_.isValid());
        qputenv("HOME", QFile::encodeName(home_.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home_.filePath(QStringLiteral(".config"))));
        qunsetenv("XDG_PICTURES_DIR");
    }

    // The name as typed, in the folder the dialog shows; Qt's own reading
    // would take `a"b.png` as the list `a`, `b.png`.
    void returnsExactlyTheTypedName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("quote inside") << QStringLiteral("a\"b.png");
        QTest::newRow("quoted name") << QStringLiteral("\"scan\".png");
        QTest::newRow("ends in a quote") << QStringLiteral("scan\"");
        QTest::newRow("backslash") << QStringLiteral("a\\b.png");
        QTest::newRow("trailing backslash") << QStringLiteral("scan\\");
        QTest::newRow("leading minus") << QStringLiteral("-o scan.png");
        QTest::newRow("spaces") << QStringLiteral(" page  one .png");
        QTest::newRow("non-ASCII") << QStringLiteral("Übersicht café 页.png");
        QTest::newRow("no extension") << QStringLiteral("scan");
    }
    void returnsExactlyTheTypedName()
    {
        QFETCH(QString, name);
        QTemporaryDir folder;
        // Typed as a full path, and as a bare name in the folder shown.
        for (const QString& typed : {folder.filePath(name), name}) {
            SaveFileDialog dialog(
                nullptr, QStringLiteral("Save Image"), QStringLiteral("PNG Files (*.png)"), folder.path());
            Typist t{typed, {}, {}, false};
            t.arm();
            QCOMPARE(dialog.exec(), int(QDialog::Accepted));
            QVERIFY(t.typed);
            QCOMPARE(dialog.chosenPath(), folder.path() + QLatin1Char('/') + name);
        }
        QVERIFY(QDir(folder.path()).isEmpty());
    }

    void resolvesTypedNames_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("expected");
        QTest::newRow("absolute, kept as typed") << "/a//b/../c.png"
                                                 << "/a//b/../c.png";
        QTest::newRow("relative") << "sub/c.png"
                                  << "/shown/sub/c.png";
        QTest::newRow("home") << "~/c.png"
                              << "HOME/c.png";
        QTest::newRow("a tilde inside a name") << "a~/c.png"
                                               << "/shown/a~/c.png";
        QTest::newRow("a name starting with a tilde") << "~c.png"
                                                      << "/shown/~c.png";
    }
    void resolvesTypedNames()
    {
        QFETCH(QString, typed);
        QFETCH(QString, expected);
        expected.replace(QStringLiteral("HOME"), QDir::homePath());
        QCOMPARE(SaveFileDialog::resolveTyped(typed, QStringLiteral("/shown")), expected);
    }

    // Through the program's desktop: the first dialog opens in the pictures
    // folder (home without one), later ones in the folder of the last save;
    // the name starts empty; a cancel keeps the folder; no extension is
    // added.
    void opensWhereTheLastSaveWent()
    {
        const QString pictures = home_.filePath(QStringLiteral("Pictures"));
        QTemporaryDir elsewhere;
        Desktop& real = desktop();

        Typist cancel{QString(), {}, {}, false};
        cancel.arm();
        QCOMPARE(
            real.getSaveFileName(nullptr, QStringLiteral("Save Image"), QStringLiteral("JPG Files (*.jpg)")),
            QString());
        QCOMPARE(cancel.shownFolder, home_.path()); // no pictures folder yet
        QVERIFY(QDir().mkpath(pictures));

        Typist first{elsewhere.filePath(QStringLiteral("one")), {}, {}, false};
        first.arm();
        QCOMPARE(
            real.getSaveFileName(nullptr, QStringLiteral("Save Image"), QStringLiteral("JPG Files (*.jpg)")),
            elsewhere.filePath(QStringLiteral("one")));
        QCOMPARE(first.shownFolder, pictures);
        QCOMPARE(first.openedWith, QString());

        Typist again{QString(), {}, {}, false};
        again.arm();
        real.getSaveFileName(nullptr, QStringLiteral("Save Image"), QStringLiteral("BMP Files (*.bmp)"));
        QCOMPARE(again.shownFolder, elsewhere.path());
        QCOMPARE(again.openedWith, QString());

        Typist bare{QStringLiteral("two"), {}, {}, false};
        bare.arm();
        QCOMPARE(
            real.getSaveFileName(nullptr, QStringLiteral("Save Image"), QStringLiteral("BMP Files (*.bmp)")),
            elsewhere.filePath(QStringLiteral("two")));

        // The folder of the last save is gone: back to the pictures folder.
        const QString gone = elsewhere.path();
        elsewhere.remove();
        Typist after{QString(), {}, {}, false};
        after.arm();
        real.getSaveFileName(nullptr, QStringLiteral("Save Image"), QStringLiteral("BMP Files (*.bmp)"));
        QCOMPARE(after.shownFolder, pictures);
        QVERIFY(!QFile::exists(gone));
    }

    // Typing a folder's name opens that folder instead of choosing it.
    void typingAFolderOpensIt()
    {
        QTemporaryDir folder;
        QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("sub")));
        SaveFileDialog dialog(
            nullptr, QStringLiteral("Save Image"), QStringLiteral("PNG Files (*.png)"), folder.path());
        Typist into{QStringLiteral("sub"), {}, {}, false};
        Typist name{QStringLiteral("x\"y"), {}, {}, false};
        into.arm();
        QTimer::singleShot(50, [&] { name.arm(); });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QCOMPARE(name.shownFolder, folder.filePath(QStringLiteral("sub")));
        QCOMPARE(dialog.chosenPath(), folder.filePath(QStringLiteral("sub/x\"y")));
    }
};

QTEST_MAIN(TestSaveDialog)
#include "test_save_dialog.moc"
