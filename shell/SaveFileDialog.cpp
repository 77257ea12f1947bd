#include "shell/SaveFileDialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>

namespace orvane {

SaveFileDialog::SaveFileDialog(
    QWidget* owner, const QString& title, const QString& filter, const QString& folder)
    : QFileDialog(owner, title, folder, filter)
{
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setDefaultSuffix(QString());
    selectFile(QString());
    if (auto* edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
        edit->clear();
        // Runs after the dialog's own check of the name, which reads quotes
        // as a list and so refuses a name that ends in one.
        connect(edit, &QLineEdit::textChanged, this, &SaveFileDialog::updateSaveButton);
        // The dialog opens on the file name, for the keyboard and for
        // screen readers alike.
        edit->setFocus(Qt::OtherFocusReason);
    }
}

QString SaveFileDialog::resolveTyped(const QString& typed, const QString& folder)
{
    if (typed.startsWith(QLatin1Char('/')))
        return typed;
    if (typed == QLatin1String("~") || typed.startsWith(QLatin1String("~/")))
        return QDir::homePath() + typed.mid(1);
    QString base = folder;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return base + typed;
}

void SaveFileDialog::updateSaveButton()
{
    auto* edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    auto* buttons = findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    if (!edit || !buttons || !edit->text().contains(QLatin1Char('"')))
        return;
    if (QPushButton* save = buttons->button(QDialogButtonBox::Save))
        save->setEnabled(true);
}

void SaveFileDialog::accept()
{
    auto* edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    // A platform dialog of the desktop returns the path itself.
    if (!edit) {
        QFileDialog::accept();
        const QStringList files = selectedFiles();
        chosen_ = files.isEmpty() ? QString() : files.first();
        return;
    }
    const QString typed = edit->text();
    if (typed.isEmpty() || typed == QLatin1String("..") || typed == QLatin1String(".")) {
        // Nothing typed (a folder chosen in the list), or a step up: the
        // dialog's own handling, which changes folder.
        if (typed.isEmpty())
            return;
        QFileDialog::accept();
        return;
    }
    const QString path = resolveTyped(typed, directory().absolutePath());
    const QFileInfo info(path);
    if (info.isDir()) {
        setDirectory(info.absoluteFilePath());
        edit->clear();
        return;
    }
    if (typed.endsWith(QLatin1Char('/'))) {
        QMessageBox::warning(this, windowTitle(), tr("%1\nThe folder does not exist.").arg(path));
        return;
    }
    if (info.exists() && !testOption(QFileDialog::DontConfirmOverwrite)) {
        const auto answer = QMessageBox::warning(this, windowTitle(),
            tr("%1 already exists.\nDo you want to replace it?").arg(info.fileName()),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
    }
    chosen_ = path;
    QDialog::accept();
}

QString saveDialogFolder(const QString& lastSaveFolder)
{
    if (!lastSaveFolder.isEmpty() && QFileInfo(lastSaveFolder).isDir())
        return lastSaveFolder;
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (!pictures.isEmpty() && QFileInfo(pictures).isDir())
        return pictures;
    return QDir::homePath();
}

} // namespace orvane
