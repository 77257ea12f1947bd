#pragma once
// The viewer's file dialog component: the save commands clear its file name,
// set its title and one filter, show it, and read the chosen path back (empty
// when the user cancelled).
#include <QString>

class QWidget;

namespace orvane {

struct CommonDialog {
    QString FileName;
    QString DialogTitle;
    QString Filter; // "Description|pattern|", as many pairs as offered

    void ShowSave(QWidget* owner);
};

// "JPG Files (*.jpg)|*.jpg|" becomes the Qt filter "JPG Files (*.jpg)".
QString qtFilter(const QString& filter);

} // namespace orvane
