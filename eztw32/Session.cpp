#include "Session.h"

#include "Log.h"
#include "Search.h"
#include "Settings.h"

#include <QByteArray>
#include <QList>

#include <cstdlib>
#include <map>

namespace eztw32 {
namespace {

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
    progress_.stalled = false;
    progress_.lastDataMs = steadyMs();
}

void ScanSession::requestCancel()
{
    progress_.cancelRequested = true;
    SessionState expected = SessionState::Scanning;
    if (state_.compare_exchange_strong(expected, SessionState::Cancelling))
        qCDebug(lcEztw32, "session: scanning -> cancelling");
}

OpenOutcome ScanSession::openFirstFound(OpenOutcome outcome, const std::vector<DeviceInfo>& devices)
{
    outcome.found = devices;
    if (devices.empty()) {
        outcome.fault = Fault::NoDevice;
        return outcome;
    }
    outcome.info = devices.front();
    outcome.status = device_.open(outcome.info.name, &abandoned_);
    if (outcome.status != SANE_STATUS_GOOD)
        outcome.fault = outcome.status == SANE_STATUS_INVAL ? Fault::DeviceGone : Fault::Status;
    return outcome;
}

OpenOutcome ScanSession::open(const std::optional<DeviceInfo>& wanted, bool remembered)
{
    enter(SessionState::Opening);
    OpenOutcome out;
    if ((out.status = ensureSaneInitialised()) != SANE_STATUS_GOOD) {
        out.fault = Fault::NotInitialised;
        enter(SessionState::Idle);
        return out;
    }
    if (wanted) {
        // The remembered device straight away, without a search.
        out.info = *wanted;
        out.status = device_.open(wanted->name, &abandoned_);
        if (out.status == SANE_STATUS_INVAL || out.status == SANE_STATUS_UNSUPPORTED
            || out.status == SANE_STATUS_IO_ERROR) {
            // Gone (unplugged, renamed, another network): look for others.
            out.missing = *wanted;
            std::vector<DeviceInfo> devices;
            searchNow(devices);
            out = openFirstFound(std::move(out), devices);
        } else if (out.status != SANE_STATUS_GOOD) {
            out.fault = Fault::Status;
        }
    } else {
        // No choice made: the first device of the search (the one that ran
        // at loading, when it has ended).
        SearchResult known = searchResult();
        if (!known.done || known.devices.empty()) {
            known.devices.clear();
            out.status = searchNow(known.devices);
        }
        out = openFirstFound(std::move(out), known.devices);
    }
    if (out.fault != Fault::None || abandoned_.load()) {
        connectionLost_ = out.status == SANE_STATUS_IO_ERROR;
        close();
        return out;
    }
    enter(SessionState::Open);
    defaultsSeen().try_emplace(out.info.name, device_.options());
    // The user's own settings of this device, in the order they were made.
    // (QSettings is reentrant: its own instance here.)
    const std::vector<OptionSetting> settings
        = remembered ? deviceSettings(out.info.name).options : std::vector<OptionSetting>();
    for (const OptionSetting& s : settings) {
        SANE_Int info = 0;
        apply(device_.options(), s, &info);
    }
    out.options = device_.options();
    return out;
}

SANE_Status ScanSession::apply(
    const std::vector<OptionInfo>& options, const OptionSetting& setting, SANE_Int* info)
{
    const auto o = findOption(options, setting.first);
    if (!o || !o->settable())
        return SANE_STATUS_INVAL;
    switch (o->type) {
    case SANE_TYPE_BUTTON:
        return device_.press(o->name, info);
    case SANE_TYPE_STRING:
        return device_.setString(o->name, setting.second, info);
    case SANE_TYPE_BOOL:
    case SANE_TYPE_INT:
    case SANE_TYPE_FIXED: {
        std::vector<double> values;
        for (const QByteArray& part : QByteArray::fromStdString(setting.second).split(',')) {
            bool ok = false;
            const double v = part.trimmed().toDouble(&ok);
            if (!ok)
                return SANE_STATUS_INVAL;
            values.push_back(v);
        }
        return device_.setNumbers(o->name, values, info);
    }
    case SANE_TYPE_GROUP:
        break;
    }
    return SANE_STATUS_INVAL;
}

SetOutcome ScanSession::set(const OptionSetting& setting)
{
    SetOutcome out;
    out.status = apply(device_.options(), setting, &out.info);
    out.options = device_.options();
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
                if (!o || !o->settable() || o->type == SANE_TYPE_BUTTON || !d.active())
                    continue;
                SANE_Int info = 0;
                if (o->type == SANE_TYPE_STRING && o->text != d.text)
                    device_.setString(d.name, d.text, &info);
                else if (o->type != SANE_TYPE_STRING && !d.values.empty() && o->values != d.values)
                    device_.setNumbers(d.name, d.values, &info);
            }
        }
    }
    out.options = device_.options();
    return out;
}

ScanResult ScanSession::preview(const ScanSettings& settings, PreviewBuffer& buffer)
{
    // The preview changes mode, resolution and area; what the user had set
    // is put back afterwards.
    const std::vector<OptionInfo> before = device_.options();
    if (progress_.cancelRequested.load())
        return {Outcome::Cancelled, Fault::None, SANE_STATUS_CANCELLED};
    enter(SessionState::Scanning);
    if (const auto p = findOption(before, "preview"); p && p->settable() && p->type == SANE_TYPE_BOOL)
        device_.setNumber("preview", 1);
    const ScanResult r = runPreview(device_, settings, buffer, progress_);
    if (r.fault == Fault::Stalled || r.status == SANE_STATUS_IO_ERROR)
        connectionLost_ = true;
    enter(SessionState::Open);
    for (const char* name : {"preview", "mode", "depth", "resolution", "tl-x", "tl-y", "br-x", "br-y"}) {
        const auto o = findOption(before, name);
        if (!o || !o->settable())
            continue;
        if (o->type == SANE_TYPE_STRING)
            device_.setString(name, o->text);
        else if (!o->values.empty())
            device_.setNumbers(name, o->values);
    }
    return r;
}

ScanResult ScanSession::scan(const ScanSettings& settings, int fd)
{
    if (progress_.cancelRequested.load())
        return {Outcome::Cancelled, Fault::None, SANE_STATUS_CANCELLED};
    enter(SessionState::Scanning);
    const ScanResult r = runScan(device_, settings, fd, progress_);
    if (r.fault == Fault::Stalled || r.status == SANE_STATUS_IO_ERROR)
        connectionLost_ = true;
    enter(SessionState::Open);
    return r;
}

void ScanSession::close()
{
    enter(SessionState::Closing);
    device_.close();
    if (connectionLost_) {
        // A connection that broke may be reused by the backend: SANE starts
        // afresh before the next search or opening.
        connectionLost_ = false;
        restartSane();
    }
    enter(SessionState::Idle);
}

} // namespace eztw32
