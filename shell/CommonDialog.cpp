#include "shell/CommonDialog.h"

#include "shell/Desktop.h"

#include <QStringList>

namespace orvane {

QString qtFilter(const QString& filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts[i];
        const QString pattern = parts[i + 1];
        if (description.isEmpty() && pattern.isEmpty())
            continue;
        // Qt reads the patterns from the parentheses; add them when the
        // description does not show them.
        filters << (description.contains(QLatin1Char('(')) ? description
                                                           : description + QStringLiteral(" (")
                    + QString(pattern).replace(QLatin1Char(';'), QLatin1Char(' ')) + QLatin1Char(')'));
    }
    return filters.join(QStringLiteral(";;"));
}

void CommonDialog::ShowSave(QWidget* owner)
{
    FileName = desktop().getSaveFileName(owner, DialogTitle, qtFilter(Filter));
}

} // namespace orvane
