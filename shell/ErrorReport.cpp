#include "shell/ErrorReport.h"

#include "BuildConfig.h"
#include "shell/AppError.h"
#include "shell/Desktop.h"

#include <QLoggingCategory>

#include <cerrno>
#include <cstring>
#include <new>

namespace orvane {

namespace {
// Every error report, also into a trace: QT_LOGGING_RULES="orvane.shell.debug=true".
Q_LOGGING_CATEGORY(lcShell, "orvane.shell", QtInfoMsg)
} // namespace

void raiseError(int number, const QString& description)
{
    throw AppError(number, description);
}

void raiseErrno(const QString& context, int err)
{
    int number = ErrDeviceIO;
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        number = ErrFileNotFound;
        break;
    case EACCES:
    case EPERM:
    case EROFS:
        number = ErrPermissionDenied;
        break;
    case ENOSPC:
    case EDQUOT:
        number = ErrDiskFull;
        break;
    case EISDIR:
    case ENAMETOOLONG:
        number = ErrPathAccess;
        break;
    default:
        break;
    }
    const QString cause = QString::fromLocal8Bit(std::strerror(err));
    raiseError(number, context.isEmpty() ? cause : context + QStringLiteral(": ") + cause);
}

QString locationLabel(const QString& window, const QString& handler)
{
    return QStringLiteral("Orvane_Capture_Desk2021/08/31.") + window + QLatin1Char('.') + handler;
}

QString errorReportText(const QString& description, const QString& label, int line)
{
    return description + QLatin1Char('\n') + QStringLiteral("in ") + label + QLatin1Char(' ')
        + QStringLiteral("at line ") + QString::number(line) + QStringLiteral("\n\n")
        + QStringLiteral("Please email screenshot of this message to ")
        + QStringLiteral(ORVANE_SUPPORT_EMAIL);
}

void ShowErrorReport(const QString& description, const QString& label, int line)
{
    desktop().showMessage(nullptr, errorReportText(description, label, line),
        QStringLiteral("Application Error"), MessageIcon::Warning);
}

QString describeCurrentException(std::exception_ptr e)
{
    try {
        std::rethrow_exception(e);
    } catch (const AppError& err) {
        return err.description();
    } catch (const std::bad_alloc&) {
        return QStringLiteral("Out of memory");
    } catch (const std::exception& err) {
        return QString::fromLocal8Bit(err.what());
    } catch (...) {
        return QStringLiteral("Unexpected error");
    }
}

void Guard::report(int line, std::exception_ptr e)
{
    ++reports_;
    qCDebug(lcShell) << "report" << label_ << line << describeCurrentException(e);
    ShowErrorReport(describeCurrentException(e), label_, line);
}

} // namespace orvane
