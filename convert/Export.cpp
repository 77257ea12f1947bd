#include "convert/Export.h"

#include "convert/CarriedConverter.h"
#include "convert/ExportFiles.h"
#include "convert/Shell32.h"
#include "shell/AppError.h"
#include "shell/CommonDialog.h"
#include "shell/ErrorReport.h"
#include "shell/Form.h"
#include "shell/Main.h"
#include "shell/PrivateFolder.h"
#include "shell/SaveFile.h"
#include "writers/BmpExport.h"
#include "writers/SaveCommands.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdint>
#include <cstring>
#include <sys/stat.h>

namespace orvane {

namespace {

// Why a conversion did not give a file, in the converter's own words where
// it said something.
QString conversionFailure(
    std::int32_t result, const QByteArray& errorOutput, const QString& converter, const QString& chosenPath)
{
    if (result < 0 && result - startErrorBase >= 0 && result - startErrorBase < 4096)
        return converter + QStringLiteral(": ")
            + QString::fromLocal8Bit(std::strerror(result - startErrorBase));
    const QString said = QString::fromLocal8Bit(errorOutput).trimmed();
    if (result != 0)
        return said.isEmpty() ? QStringLiteral("The converter ended with exit code %1").arg(result) : said;
    return QStringLiteral("The converter wrote no file at ") + chosenPath;
}

// The file the converter is to write: the chosen path under the rules every
// save follows (links followed, folders, devices, pipes and files the user
// may not change refused), and never one of the export's own temporary
// files, which the export deletes again. Raises AppError.
QString exportTarget(const QString& chosenPath, const ExportFolder& files)
{
    const SaveTarget target = checkSaveTarget(chosenPath);
    for (const QString& own : {files.converterPath(), files.temporaryBmpPath(), files.lockPath()}) {
        const QFileInfo info(own);
        const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
        bool same = !folder.isEmpty() && folder + QLatin1Char('/') + info.fileName() == target.path;
        struct stat st { };
        if (!same && target.exists && ::stat(QFile::encodeName(own).constData(), &st) == 0)
            same = std::uint64_t(st.st_dev) == target.device && std::uint64_t(st.st_ino) == target.inode;
        if (same)
            raiseError(ErrPathAccess,
                chosenPath
                    + QStringLiteral(": this is where the export keeps its own "
                                     "temporary file %1; choose another name.")
                          .arg(own));
    }
    return target.path;
}

} // namespace

void ConvertAndSave(SaveHost& host, ConvertFormat format)
{
    // The step numbers are the handler's line numbers, which the error
    // report names ("at line 152"): they rise as the statements stand, 104
    // to 112 are chooseSaveFile's, and a statement that several paths reach
    // (the pointer's reset at 158, the end of the export at 162) keeps its
    // one line on each of them.
    const bool tiff = format == ConvertFormat::Tiff;
    Guard g(QStringLiteral("Form2"),
        tiff ? QStringLiteral("PushButton4_Click") : QStringLiteral("PushButton5_Click"));
    bool& ConvertInProgress = host.convertInProgress();
    if (g.test(100, [&] { return ConvertInProgress; }))
        return;
    g.step(102, [&] { ConvertInProgress = true; });
    const QString filter
        = tiff ? QStringLiteral("TIFF Files (*.tiff)|*.tiff|") : QStringLiteral("PNG Files (*.png)|*.png|");
    if (chooseSaveFile(g, host, 104, filter)) {
        QString chosenPath;
        QString target; // what the converter writes: the chosen path, its links followed
        if (!g.step(114, [&] {
                chosenPath = host.saveDialog().FileName;
                // Where the export's files would go if it ran now.
                ExportFolder likely;
                try {
                    likely.open();
                } catch (const AppError&) {
                    // Reported where the export makes its folder.
                }
                target
                    = likely.isOpen() ? exportTarget(chosenPath, likely) : checkSaveTarget(chosenPath).path;
            })) {
            // Refused before anything was written or deleted.
            g.step(162, [&] { ConvertInProgress = false; });
            return;
        }
        g.step(126, [&] { host.setSavePointer(vbHourglass); });
        // One export of this user at a time: another copy's export holds the
        // lock until its converter has run, and this one waits, its windows
        // alive, under the hourglass.
        FolderLock exportLock;
        ExportFolder files;
        if (!g.step(128, [&] {
                files.open();
                exportLock.acquire(files.lockPath());
            })) {
            g.step(158, [&] { host.setSavePointer(vbDefault); });
            g.step(162, [&] { ConvertInProgress = false; });
            return;
        }
        QByteArray converterImage;
        g.step(130, [&] { converterImage = LoadConverterImage(); });
        g.step(132, [&] {
            files.check();
            DeployConverter(converterImage, files.converterPath());
        });
        g.step(134, [&] { QCoreApplication::processEvents(); });
        QString temporaryBmp;
        g.step(136, [&] { temporaryBmp = files.temporaryBmpPath(); });
        g.step(138, [&] { DeleteFileQuietly(temporaryBmp); });
        // Without the picture written, whatever lies at that path is never
        // converted: the export cleans up and ends without "Done.".
        const bool pictureWritten = g.step(140, [&] {
            files.check();
            // The scan stays the user's own.
            SavePicture(host.sourcePicture(), temporaryBmp, NewFileMode::Private);
        });
        // The file at the chosen path stays until the converter's complete
        // output replaces it.
        QString quotedConverter;
        g.step(144, [&] { quotedConverter = quoteArgument(files.converterPath()); });
        QString arguments;
        g.step(146, [&] { arguments = QStringLiteral(" -out "); });
        // Both format names are padded to five characters, as this handler
        // has always written them ("png" and two spaces); the command line
        // is split at white space, so the converter is given "png" alone.
        g.step(148, [&] { arguments += tiff ? QStringLiteral("tiff ") : QStringLiteral("png  "); });
        g.step(150, [&] {
            arguments += QStringLiteral(" -o ") + quoteArgument(target) + QLatin1Char(' ')
                + quoteArgument(temporaryBmp);
        });
        const bool converted = pictureWritten && g.step(152, [&] {
            // Only the converter this program carries is ever run, started
            // from the very file that was checked.
            files.check();
            const UniqueFd program = openCarriedConverter(files.converterPath(), converterImage);
            if (!program)
                raiseError(ErrFileNotFound,
                    files.converterPath() + QStringLiteral(": the converter could not be put in place"));
            // Checked again right before: the target may have changed while
            // the converter was being put in place.
            exportTarget(chosenPath, files);
            // Whatever a killed converter left beside the target goes, at
            // every export to it.
            removeAbandonedBeside(target);
            QByteArray errorOutput;
            const std::int32_t result = RunAndWait(quotedConverter + QLatin1Char(' ') + arguments, 0,
                RunOptions{.program = program.get(), .errorOutput = &errorOutput});
            if (result != 0)
                removeAbandonedBeside(target);
            if (result != 0 || !QFileInfo(target).isFile())
                raiseError(
                    ErrDeviceIO, conversionFailure(result, errorOutput, files.converterPath(), chosenPath));
        });
        g.step(154, [&] { DeleteFileQuietly(temporaryBmp); });
        g.step(156, [&] { DeleteFileQuietly(files.converterPath()); });
        exportLock.release(); // the next export may start while "Done." shows
        g.step(158, [&] { host.setSavePointer(vbDefault); });
        if (converted)
            g.step(160, [&] { showDone(host); });
    }
    g.step(162, [&] { ConvertInProgress = false; });
}

} // namespace orvane
