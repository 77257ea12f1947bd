#include "writers/SaveCommands.h"

#include "shell/CommonDialog.h"
#include "shell/Desktop.h"
#include "shell/ErrorReport.h"
#include "shell/Main.h"
#include "writers/BmpExport.h"
#include "writers/SaveAsJPG.h"

#include <QLoggingCategory>

namespace orvane {

namespace {

// What each save wrote where: QT_LOGGING_RULES="orvane.writers.debug=true".
Q_LOGGING_CATEGORY(lcWriters, "orvane.writers", QtInfoMsg)

// The dialog, the writer, and "Done." once the file is written.
template <class Writer>
void saveInProcess(SaveHost& host, const char* handler, const char* filter, Writer writer)
{
    Guard g(QStringLiteral("Form2"), QString::fromLatin1(handler));
    if (!chooseSaveFile(g, host, 100, QString::fromLatin1(filter)))
        return;
    QString path;
    g.step(110, [&] { path = host.saveDialog().FileName; });
    // A failed write is reported, and then not followed by "Done.".
    qCDebug(lcWriters) << handler << "writes" << path;
    if (!g.step(122, [&] { writer(host.sourcePicture(), path); })) {
        qCDebug(lcWriters) << handler << "failed";
        return;
    }
    g.step(124, [&] { showDone(host); });
}

} // namespace

bool chooseSaveFile(Guard& g, SaveHost& host, int firstLine, const QString& filter)
{
    CommonDialog& dialog = host.saveDialog();
    g.step(firstLine, [&] { dialog.FileName.clear(); });
    g.step(firstLine + 2, [&] { dialog.DialogTitle = QStringLiteral("Save Image"); });
    g.step(firstLine + 4, [&] { dialog.Filter = filter; });
    g.step(firstLine + 6, [&] { dialog.ShowSave(host.saveWindow()); });
    return !g.test(firstLine + 8, [&] { return dialog.FileName.isEmpty(); });
}

void showDone(SaveHost& host)
{
    desktop().showMessage(host.saveWindow(), QStringLiteral("Done."), applicationTitle(), MessageIcon::None);
}

void SaveAsJpg(SaveHost& host)
{
    saveInProcess(host, "PushButton1_Click", "JPG Files (*.jpg)|*.jpg|",
        [](const QImage& picture, const QString& path) { WriteJpegFile(picture, path, 100); });
}

void SaveAsBmp(SaveHost& host)
{
    saveInProcess(host, "PushButton3_Click", "BMP Files (*.bmp)|*.bmp|",
        [](const QImage& picture, const QString& path) { SavePicture(picture, path); });
}

} // namespace orvane
