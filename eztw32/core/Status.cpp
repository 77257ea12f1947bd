#include "Status.h"

#include <QObject>

#include <sane/sane.h>

namespace eztw32 {
namespace {

// What the user can do about a status the device gave.
QString advice(Status status)
{
    switch (status) {
    case Status::Jammed:
        return QObject::tr("The paper is jammed in the scanner's document feeder. Clear the jam, "
                           "put the pages back and scan again.");
    case Status::NoDocs:
        return QObject::tr("The scanner's document feeder is empty. Load the pages into the "
                           "feeder, or choose the flatbed, and scan again.");
    case Status::CoverOpen:
        return QObject::tr("The scanner's cover is open. Close the cover and scan again.");
    case Status::DeviceBusy:
        return QObject::tr("The scanner is busy with another program or job. Wait until it is "
                           "free, or close the other scanning program, and scan again.");
    case Status::IoError:
        return QObject::tr("The scanner stopped responding. Check that it is switched on and that "
                           "its cable or network connection is sound, then scan again.");
    case Status::NoMem:
        return QObject::tr("The scanner or its driver ran out of memory. Choose a lower resolution "
                           "or a smaller area and scan again.");
    case Status::AccessDenied:
        return QObject::tr("You do not have permission to use this scanner. Ask for access to the "
                           "device (for USB scanners, membership of the \"scanner\" group) and "
                           "scan again.");
    case Status::Inval:
        return QObject::tr("The scanner rejected the request with the chosen settings. Choose "
                           "other settings and scan again.");
    case Status::Unsupported:
        return QObject::tr("The scanner does not support what was asked of it. Choose other "
                           "settings and scan again.");
    case Status::Eof:
        return QObject::tr("The scanner ended the scan before the image was complete. Scan again.");
    default:
        return QObject::tr("The scanner reported an error. Scan again; if the problem persists, "
                           "switch the scanner off and on.");
    }
}

} // namespace

QString statusText(Status status)
{
    return QString::fromLocal8Bit(sane_strstatus(SANE_Status(int(status))));
}

QString noDeviceText()
{
    return QObject::tr(
        "No scanner was found. Check that the scanner is switched on and connected (USB cable or "
        "network), and that you have permission to use it (for USB scanners, membership of the "
        "\"scanner\" or \"lp\" group). Network scanners must be on the same network and reachable "
        "through SANE's net or airscan backend. Then press Refresh.");
}

QString faultText(Fault fault, Status status, const QString& device)
{
    switch (fault) {
    case Fault::SettingsRejected:
        return QObject::tr("The scanner rejected the chosen settings. Choose other settings "
                           "(mode, resolution or area) and scan again.");
    case Fault::DeviceGone:
        return QObject::tr("The scanner \"%1\" is no longer available. Check that it is switched "
                           "on and connected, or choose another source.")
            .arg(device);
    case Fault::NoDevice:
        return noDeviceText().replace(QObject::tr(" Then press Refresh."), QString());
    case Fault::Incomplete:
        return advice(Status::Eof);
    case Fault::BadFormat:
        return QObject::tr("The scanner sends its image in a form that cannot be stored. Choose "
                           "another mode and scan again.");
    case Fault::NotInitialised:
        return QObject::tr("The scanner interface (SANE) could not be started. Check the SANE "
                           "installation and its configuration.");
    case Fault::Stalled:
        return QObject::tr("The scanner stopped answering in the middle of the scan. Check that it is "
                           "switched on and that its cable or network connection is sound, then scan again.");
    case Fault::DriverHung:
        return QObject::tr(
            "The scanner's driver stopped responding while working with \"%1\", so it was ended. "
            "Switch the scanner off and on, check its cable or network connection, then scan "
            "again.")
            .arg(device);
    case Fault::DriverCrashed:
        return QObject::tr(
            "The scanner's driver crashed while working with \"%1\". Scan again; if it happens "
            "again, switch the scanner off and on, or update the scanner's driver.")
            .arg(device);
    case Fault::Status:
    case Fault::None:
        break;
    }
    return advice(status);
}

} // namespace eztw32
