#pragma once
// The save-file dialog of the save commands: Qt's file dialog in save mode,
// one filter, no default suffix, opened in a folder of the program's choice.
// The chosen path is exactly the name the user typed, taken relative to the
// folder shown when it is not absolute: Qt's own reading of the name field
// takes double quotes as a list of several names, which would save under
// another name than the one typed.
#include <QFileDialog>

namespace orvane {

class SaveFileDialog : public QFileDialog {
    Q_OBJECT
public:
    SaveFileDialog(QWidget* owner, const QString& title, const QString& filter, const QString& folder);

    // The chosen path after the dialog was accepted, else empty.
    const QString& chosenPath() const { return chosen_; }

    // The typed name as a full path: absolute as typed, "~/..." in the home
    // folder, anything else in `folder`.
    static QString resolveTyped(const QString& typed, const QString& folder);

public Q_SLOTS:
    void accept() override;

private:
    void updateSaveButton();

    QString chosen_;
};

// The folder the save dialog opens in: that of the last save of this run
// when it still exists, else the user's pictures folder, else home.
QString saveDialogFolder(const QString& lastSaveFolder);

} // namespace orvane
