#include "shell/Desktop.h"

#include "shell/AppError.h"
#include "shell/MessageBox.h"
#include "shell/SaveFileDialog.h"

#include <QApplication>
#include <QFileInfo>
#include <QProcess>

#include <chrono>
#include <cstdio>
#include <random>
#include <unistd.h>

namespace orvane {
namespace {

class QtDesktop final : public Desktop {
public:
    QtDesktop()
    {
        std::random_device device;
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        std::seed_seq seed{device(), device(), static_cast<unsigned>(now), static_cast<unsigned>(::getpid())};
        rng_.seed(seed);
    }

    void showMessage(QWidget* owner, const QString& text, const QString& title, MessageIcon icon) override
    {
        // A report without an owner of its own belongs to the window the
        // user is working in.
        if (!owner)
            owner = QApplication::activeWindow();
        MessageBox box(icon, title, text, owner);
        box.exec();
    }

    QString getSaveFileName(QWidget* owner, const QString& title, const QString& filter) override
    {
        // Opens where the last save of this run went (the pictures folder
        // at first), with an empty name and no default suffix; the dialog's
        // own overwrite question stays on. Nothing of it outlives the run.
        SaveFileDialog dialog(owner, title, filter, saveDialogFolder(lastSaveFolder_));
        if (dialog.exec() != QDialog::Accepted || dialog.chosenPath().isEmpty())
            return QString();
        lastSaveFolder_ = QFileInfo(dialog.chosenPath()).absolutePath();
        return dialog.chosenPath();
    }

    void startDetached(const QString& program, const QStringList& arguments) override
    {
        QProcess process;
        process.setProgram(program);
        process.setArguments(arguments);
        process.setStandardInputFile(QProcess::nullDevice());
        if (!process.startDetached())
            raiseError(ErrFileNotFound, program + QStringLiteral(": ") + process.errorString());
    }

    double randomFraction() override { return static_cast<double>(rng_() >> 11) * 0x1.0p-53; }

    void endProgram() override
    {
        std::fflush(nullptr);
        ::_exit(0);
    }

private:
    std::mt19937_64 rng_;
    QString lastSaveFolder_;
};

Desktop* installed = nullptr;

} // namespace

Desktop& desktop()
{
    static QtDesktop real;
    return installed ? *installed : real;
}

void setDesktop(Desktop* d)
{
    installed = d;
}

} // namespace orvane
