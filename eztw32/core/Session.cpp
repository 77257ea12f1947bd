#include "Session.h"

#include "Log.h"
#include "SaneThread.h"
#include "ScanJob.h"
#include "Search.h"

#include <QByteArray>
#include <QList>

#include <map>

namespace eztw32 {
namespace {

// How long past the stall limit a read that hangs without data is given.
constexpr int StallGraceMs = 5000;
// How long a device is given to heed a cancel between reads, before SANE's
// own sane_cancel goes to its driver.
constexpr int CancelGraceMs = 1500;
// How long a driver is given to return after that sane_cancel: then its
// host is ended.
constexpr int CancelLimitMs = 3000;

// The options of each device as first opened in this run, before any of the
// user's settings: its own defaults. SANE thread only.
std::map<std::string, std::vector<OptionInfo>>& defaultsSeen()
{
    static auto* seen = new std::map<std::string, std::vector<OptionInfo>>;
    return *seen;
}

} // namespace

const char* stateName(SessionState s)
{
    switch (s) {
    case SessionState::Idle:
        return "idle";
    case SessionState::Opening:
        return "opening";
    case SessionState::Open:
        return "open";
    case SessionState::Scanning:
        return "scanning";
    case SessionState::Cancelling:
        return "cancelling";
    case SessionState::Closing:
        return "closing";
    }
    return "?";
}

void ScanSession::enter(SessionState s)
{
    const SessionState was = state_.exchange(s);
    qCDebug(lcEztw32, "session: %s -> %s", stateName(was), stateName(s));
}

void ScanSession::beginRun()
{
    progress_.bytesRead = 0;
    progress_.bytesTotal = -1;
    progress_.dataArrived = false;
    progress_.cancelRequested = false;
    progress_.cancelRequestedMs = 0;
    progress_.stalled = false;
    progress_.lastDataMs = steadyMs();
}

void ScanSession::requestCancel()
{
    if (!progress_.cancelRequested.load()) {
        progress_.cancelRequestedMs = steadyMs();
        progress_.cancelRequested = true;
    }
    SessionState expected = SessionState::Scanning;
    if (state_.compare_exchange_strong(expected, SessionState::Cancelling))
        qCDebug(lcEztw32, "session: scanning -> cancelling");
}

Fault ScanSession::lostDriver(std::string& cause) const
{
    const DriverHost::End end = device_.lost();
    if (end == DriverHost::End::None)
        return Fault::None;
    cause = device_.lostCause();
    switch (end) {
    case DriverHost::End::Hung:
        return Fault::DriverHung;
    case DriverHost::End::Crashed:
        return Fault::DriverCrashed;
    default:
        // The host itself could not run: the installation is at fault.
        return Fault::NotInitialised;
    }
}

template <class Run> ScanResult ScanSession::watched(Run run)
{
    if (progress_.cancelRequested.load())
        return cancelledScan();
    enter(SessionState::Scanning);
    ScanResult r;
    {
        // A device that hangs is stopped whatever the GUI is doing: a read
        // that has brought no data for a while past the stall limit ends the
        // run as a stall, and a cancel the device has not heeded in time
        // gets SANE's own sane_cancel. A driver that does not return from
        // that either has its host ended, which ends the read.
        std::int64_t killAtMs = 0;
        const RunWatch watch([this, killAtMs]() mutable {
            ScanProgress& p = progress_;
            const std::int64_t now = steadyMs();
            if (!p.cancelRequested.load() && now - p.lastDataMs.load() > stallLimitMs() + StallGraceMs) {
                qCDebug(lcEztw32, "no data for too long: stopping the scan");
                p.stalled = true;
                requestCancel();
                device_.cancelAsync();
                killAtMs = now + CancelLimitMs;
            } else if (p.cancelRequested.load() && killAtMs == 0
                && now - p.cancelRequestedMs.load() >= CancelGraceMs) {
                device_.cancelAsync();
                killAtMs = now + CancelLimitMs;
            }
            if (killAtMs == 0 || now < killAtMs)
                return false;
            device_.kill(p.stalled.load() ? "sent no data, then did not return from sane_cancel"
                                          : "did not return from sane_cancel");
            return true;
        });
        r = run();
    }
    // A run that went wrong because its driver was lost: told as such, but
    // a cancel the user asked for stays a cancel, and a picture that came
    // whole before the driver hung in its cancel is kept.
    if (r.outcome != Outcome::Done) {
        std::string cause;
        if (const Fault lost = lostDriver(cause); lost != Fault::None)
            r = progress_.cancelRequested.load() && !progress_.stalled.load()
                ? cancelledScan()
                : ScanResult{Outcome::Failed, lost, Status::Good, cause};
    }
    enter(SessionState::Open);
    return r;
}

OpenOutcome ScanSession::openFirstFound(OpenOutcome outcome, const std::vector<DeviceInfo>& devices)
{
    outcome.found = devices;
    if (devices.empty()) {
        outcome.fault = Fault::NoDevice;
        return outcome;
    }
    outcome.info = devices.front();
    outcome.status = toStatus(device_.open(outcome.info.name, &abandoned_));
    if ((outcome.fault = lostDriver(outcome.cause)) != Fault::None)
        outcome.status = Status::Good;
    else if (outcome.status != Status::Good)
        outcome.fault = outcome.status == Status::Inval ? Fault::DeviceGone : Fault::Status;
    return outcome;
}

OpenOutcome ScanSession::open(const std::optional<DeviceInfo>& wanted, const RememberedOptions& remembered)
{
    enter(SessionState::Opening);
    OpenOutcome out;
    if ((out.status = toStatus(ensureSaneInitialised())) != Status::Good) {
        out.fault = Fault::NotInitialised;
        enter(SessionState::Idle);
        return out;
    }
    if (wanted) {
        // The remembered device straight away, without a search.
        out.info = *wanted;
        out.status = toStatus(device_.open(wanted->name, &abandoned_));
        if ((out.fault = lostDriver(out.cause)) != Fault::None) {
            // Its driver hung or crashed: that is what the user hears, not
            // that the device is gone.
            out.status = Status::Good;
        } else if (out.status == Status::Inval || out.status == Status::Unsupported
            || out.status == Status::IoError) {
            // Gone (unplugged, renamed, another network): look for others.
            out.missing = *wanted;
            std::vector<DeviceInfo> devices;
            searchNow(devices, &abandoned_);
            out = openFirstFound(std::move(out), devices);
        } else if (out.status != Status::Good) {
            out.fault = Fault::Status;
        }
    } else {
        // No choice made: the first device of the search (the one that ran
        // at loading, waited for when it is still under way).
        SearchResult known = searchResult();
        if (!known.done || known.devices.empty()) {
            known.devices.clear();
            out.status = searchNow(known.devices, &abandoned_);
        }
        out = openFirstFound(std::move(out), known.devices);
    }
    if (out.fault != Fault::None || abandoned_.load()) {
        close();
        return out;
    }
    enter(SessionState::Open);
    defaultsSeen().try_emplace(out.info.name, device_.options());
    // The user's own settings of this device, in the order they were made.
    if (const auto own = remembered.find(out.info.name); own != remembered.end())
        for (const OptionSetting& s : own->second)
            apply(device_.options(), s);
    out.options = device_.options();
    if ((out.fault = lostDriver(out.cause)) != Fault::None)
        close();
    return out;
}

SANE_Status ScanSession::apply(const std::vector<OptionInfo>& options, const OptionSetting& setting)
{
    const auto o = findOption(options, setting.first);
    if (!o || !o->settable())
        return SANE_STATUS_INVAL;
    switch (o->type) {
    case OptionType::Button:
        return device_.press(o->name);
    case OptionType::String:
        return device_.setString(o->name, setting.second);
    case OptionType::Bool:
    case OptionType::Int:
    case OptionType::Fixed: {
        std::vector<double> values;
        for (const QByteArray& part : QByteArray::fromStdString(setting.second).split(',')) {
            bool ok = false;
            const double v = part.trimmed().toDouble(&ok);
            if (!ok)
                return SANE_STATUS_INVAL;
            values.push_back(v);
        }
        return device_.setNumbers(o->name, values);
    }
    }
    return SANE_STATUS_INVAL;
}

SetOutcome ScanSession::set(const OptionSetting& setting)
{
    SetOutcome out;
    out.status = toStatus(apply(device_.options(), setting));
    out.options = device_.options();
    out.fault = lostDriver(out.cause);
    return out;
}

SetOutcome ScanSession::restoreDefaults()
{
    SetOutcome out;
    const auto seen = defaultsSeen().find(device_.name());
    if (seen != defaultsSeen().end()) {
        // Twice: an option may become settable only when another one is back.
        for (int pass = 0; pass < 2; ++pass) {
            for (const OptionInfo& d : seen->second) {
                const std::vector<OptionInfo> now = device_.options();
                const auto o = findOption(now, d.name);
                if (!o || !o->settable() || o->type == OptionType::Button || !d.active())
                    continue;
                if (o->type == OptionType::String && o->text != d.text)
                    device_.setString(d.name, d.text);
                else if (o->type != OptionType::String && !d.values.empty() && o->values != d.values)
                    device_.setNumbers(d.name, d.values);
            }
        }
    }
    out.options = device_.options();
    out.fault = lostDriver(out.cause);
    return out;
}

ScanResult ScanSession::preview(const ScanSettings& settings, PreviewBuffer& buffer)
{
    // The preview changes mode, resolution and area; what the user had set
    // is put back afterwards.
    if (progress_.cancelRequested.load())
        return cancelledScan();
    const std::vector<OptionInfo> before = device_.options();
    const ScanResult r = watched([&] {
        if (const auto p = findOption(before, "preview"); p && p->settable() && p->type == OptionType::Bool)
            device_.setNumber("preview", 1);
        return runPreview(device_, settings, buffer, progress_);
    });
    putBack(before);
    return r;
}

void ScanSession::putBack(const std::vector<OptionInfo>& before)
{
    for (const char* name : {"preview", "source", "mode", "depth", "resolution", "tl-x", "tl-y", "br-x",
             "br-y", "brightness", "contrast"}) {
        const auto o = findOption(before, name);
        if (!o || !o->settable())
            continue;
        const auto now = device_.option(name);
        if (o->type == OptionType::String && (!now || now->text != o->text))
            device_.setString(name, o->text);
        else if (o->type != OptionType::String && !o->values.empty() && (!now || now->values != o->values))
            device_.setNumbers(name, o->values);
    }
}

SizeOutcome ScanSession::size(const ScanSettings& settings)
{
    SizeOutcome out;
    // No device (its reopening failed): nothing to ask.
    if (!device_.isOpen()) {
        out.status = Status::Inval;
        return out;
    }
    const std::vector<OptionInfo> before = device_.options();
    const ScanResult applied = applySettings(device_, settings);
    SANE_Parameters p{};
    out.status = applied.status;
    if (out.status == Status::Good)
        out.status = toStatus(device_.parameters(p));
    if (out.status == Status::Good) {
        out.width = p.pixels_per_line;
        out.height = p.lines;
        const bool colour = p.format != SANE_FRAME_GRAY;
        out.bitsPerPixel = colour ? 24 : p.depth == 1 ? 1 : 8;
    }
    putBack(before);
    return out;
}

ScanResult ScanSession::scan(const ScanSettings& settings, int fd)
{
    return watched([&] { return runScan(device_, settings, fd, progress_); });
}

void ScanSession::close()
{
    enter(SessionState::Closing);
    // The driver's host ends with the device: the next opening starts a
    // fresh one, with nothing left of a connection that broke.
    device_.close();
    enter(SessionState::Idle);
}

} // namespace eztw32
