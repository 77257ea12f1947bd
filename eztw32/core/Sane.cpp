#include "Sane.h"

#include "DriverProtocol.h"
#include "Log.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>

namespace eztw32 {

void makeSigpipeHarmless()
{
    struct sigaction current { };
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGPIPE, SIG_IGN);
}

namespace {

struct Init {
    std::mutex mutex;
    bool done = false;
    SANE_Status result = SANE_STATUS_GOOD;
};

Init& init()
{
    static auto* state = new Init;
    return *state;
}

} // namespace

SANE_Status ensureSaneInitialised()
{
    Init& s = init();
    auto& done = s.done;
    auto& result = s.result;
    std::lock_guard lock(s.mutex);
    if (!done) {
        makeSigpipeHarmless();
        SANE_Int version = 0;
        result = sane_init(&version, nullptr);
        qCDebug(lcEztw32, "sane_init() -> %s, version %d.%d.%d", qPrintable(statusText(toStatus(result))),
            SANE_VERSION_MAJOR(version), SANE_VERSION_MINOR(version), SANE_VERSION_BUILD(version));
        done = true;
    }
    return result;
}

SANE_Status listDevices(std::vector<DeviceInfo>& devices)
{
    devices.clear();
    const SANE_Device** list = nullptr;
    const SANE_Status status = sane_get_devices(&list, SANE_FALSE);
    qCDebug(lcEztw32, "sane_get_devices() -> %s", qPrintable(statusText(toStatus(status))));
    if (status != SANE_STATUS_GOOD || !list)
        return status;
    auto text = [](const char* s) { return std::string(s ? s : ""); };
    // The list belongs to SANE and lives only until the next search: copied
    // at once.
    for (int i = 0; list[i]; ++i) {
        devices.push_back(
            {text(list[i]->name), text(list[i]->vendor), text(list[i]->model), text(list[i]->type)});
        qCDebug(lcEztw32, "  device %s: %s %s (%s)", list[i]->name, list[i]->vendor, list[i]->model,
            list[i]->type);
    }
    return SANE_STATUS_GOOD;
}

bool BusyBackOff::wait()
{
    auto stopped = [this] { return stop_ && stop_->load(); };
    if (stopped() || slept_ms_ >= limitMs_)
        return false;
    const int step = std::min(step_ms_, limitMs_ - slept_ms_);
    for (int t = 0; t < step; t += 50) {
        if (stopped())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    slept_ms_ += step;
    step_ms_ = std::min(step_ms_ * 2, 2000);
    return !stopped();
}

namespace {

using driver::Op;
using driver::Writer;

// A request of just its op.
std::string request(Op op)
{
    return Writer(op).frame();
}

// How long the host is given to return from a cancel or a close.
constexpr int CancelLimitMs = 3000;
// Starts and reads may take as long as the device needs: the run's
// watchdog is in charge of them.
constexpr int RunCallLimitMs = 24 * 3600 * 1000;

// The options of an answer: status, count, then each option; none when
// the answer is broken.
std::vector<OptionInfo> optionsIn(std::string_view answer)
{
    std::vector<OptionInfo> result;
    driver::Reader r(answer);
    r.i32();
    for (std::int32_t n = r.i32(); n > 0 && r.ok(); --n)
        result.push_back(driver::readOption(r));
    if (!r.ok())
        result.clear();
    return result;
}

} // namespace

bool Device::call(
    const std::string& frame, std::string_view& answer, int limitMs, const std::atomic<bool>* stop) const
{
    if (host_.call(frame, answer, limitMs, stop))
        return true;
    if (host_.end() != DriverHost::End::None && !lossTold_) {
        lossTold_ = true;
        qCWarning(lcEztw32, "the driver of \"%s\" was lost: %s", name_.c_str(), host_.cause().c_str());
    }
    return false;
}

SANE_Status Device::open(const std::string& name, const std::atomic<bool>* stop)
{
    close();
    name_ = name;
    lossTold_ = false;
    if (!host_.start()) {
        qCWarning(lcEztw32, "no driver host: %s", host_.cause().c_str());
        return SANE_STATUS_IO_ERROR;
    }
    BusyBackOff backOff(stop);
    for (;;) {
        std::string_view answer;
        if (!call(Writer(Op::Open).text(name).frame(), answer, driverCallLimitMs(), stop))
            return SANE_STATUS_IO_ERROR;
        driver::Reader r(answer);
        const auto status = SANE_Status(r.i32());
        qCDebug(lcEztw32, "sane_open(\"%s\") -> %s", name.c_str(), qPrintable(statusText(toStatus(status))));
        if (status == SANE_STATUS_GOOD) {
            open_ = true;
            return status;
        }
        if (status != SANE_STATUS_DEVICE_BUSY || !backOff.wait())
            return status;
    }
}

void Device::close()
{
    if (open_) {
        std::string_view answer;
        call(request(Op::Close), answer, CancelLimitMs);
        qCDebug(lcEztw32, "sane_close(\"%s\")", name_.c_str());
        open_ = false;
    }
    host_.stop();
}

void Device::cancelAsync()
{
    qCDebug(lcEztw32, "sane_cancel(\"%s\") from the dialog", name_.c_str());
    host_.cancelAsync();
}

void Device::cancel()
{
    std::string_view answer;
    if (open_ && call(request(Op::Cancel), answer, CancelLimitMs))
        qCDebug(lcEztw32, "sane_cancel(\"%s\")", name_.c_str());
}

void Device::kill(const std::string& why)
{
    host_.kill(why);
}

SANE_Status Device::start()
{
    std::string_view answer;
    if (!call(request(Op::Start), answer, RunCallLimitMs))
        return SANE_STATUS_IO_ERROR;
    const auto st = SANE_Status(driver::Reader(answer).i32());
    qCDebug(lcEztw32, "sane_start(\"%s\") -> %s", name_.c_str(), qPrintable(statusText(toStatus(st))));
    return st;
}

SANE_Status Device::parameters(SANE_Parameters& p)
{
    std::string_view answer;
    if (!call(request(Op::Parameters), answer, driverCallLimitMs()))
        return SANE_STATUS_IO_ERROR;
    driver::Reader r(answer);
    const auto st = SANE_Status(r.i32());
    p.format = SANE_Frame(r.i32());
    p.last_frame = r.i32();
    p.bytes_per_line = r.i32();
    p.pixels_per_line = r.i32();
    p.lines = r.i32();
    p.depth = r.i32();
    qCDebug(lcEztw32,
        "sane_get_parameters(\"%s\") -> %s: format %d, last frame %d, %d bytes per line, %d pixels per line, "
        "%d lines, depth %d",
        name_.c_str(), qPrintable(statusText(toStatus(st))), int(p.format), int(p.last_frame),
        p.bytes_per_line, p.pixels_per_line, p.lines, p.depth);
    return r.ok() ? st : SANE_STATUS_IO_ERROR;
}

SANE_Status Device::read(SANE_Int most, const std::uint8_t** data, SANE_Int* length)
{
    *data = nullptr;
    *length = 0;
    const std::uint8_t* shared = host_.shared();
    std::string_view answer;
    if (!shared || !call(Writer(Op::Read).i32(most).frame(), answer, RunCallLimitMs))
        return SANE_STATUS_IO_ERROR;
    driver::Reader r(answer);
    const auto st = SANE_Status(r.i32());
    const double offset = r.f64();
    const std::int32_t n = r.i32();
    if (!r.ok() || n < 0 || n > most || offset < 0 || offset + double(n) > double(host_.sharedSize()))
        return SANE_STATUS_IO_ERROR;
    *data = shared + std::size_t(offset);
    *length = n;
    qCDebug(lcEztw32, "sane_read(%d) -> %s, %d bytes", most, qPrintable(statusText(toStatus(st))), n);
    return st;
}

std::vector<OptionInfo> Device::options() const
{
    std::string_view answer;
    if (!open_ || !call(request(Op::Options), answer, driverCallLimitMs()))
        return {};
    return optionsIn(answer);
}

std::optional<OptionInfo> Device::option(const std::string& name) const
{
    std::string_view answer;
    if (!open_ || !call(Writer(Op::Option).text(name).frame(), answer, driverCallLimitMs()))
        return std::nullopt;
    std::vector<OptionInfo> found = optionsIn(answer);
    if (found.size() != 1)
        return std::nullopt;
    return std::move(found.front());
}

SANE_Status Device::setValue(const std::string& frame, const char* what, SANE_Int* info)
{
    std::string_view answer;
    if (!open_ || !call(frame, answer, driverCallLimitMs()))
        return SANE_STATUS_IO_ERROR;
    driver::Reader r(answer);
    const auto st = SANE_Status(r.i32());
    const SANE_Int flags = r.i32();
    qCDebug(lcEztw32, "sane_control_option(%s) -> %s, info 0x%x", what, qPrintable(statusText(toStatus(st))),
        unsigned(flags));
    if (info)
        *info = flags;
    return st;
}

SANE_Status Device::setNumbers(const std::string& name, const std::vector<double>& values, SANE_Int* info)
{
    if (values.empty())
        return SANE_STATUS_UNSUPPORTED;
    Writer w(Op::SetNumbers);
    w.text(name).i32(std::int32_t(values.size()));
    for (double v : values)
        w.f64(v);
    const std::string what = "\"" + name + "\", SET " + std::to_string(values[0]);
    return setValue(w.frame(), what.c_str(), info);
}

SANE_Status Device::setNumber(const std::string& name, double value, SANE_Int* info)
{
    return setNumbers(name, {value}, info);
}

SANE_Status Device::setString(const std::string& name, const std::string& value, SANE_Int* info)
{
    const std::string what = "\"" + name + "\", SET \"" + value + "\"";
    return setValue(Writer(Op::SetString).text(name).text(value).frame(), what.c_str(), info);
}

SANE_Status Device::press(const std::string& name, SANE_Int* info)
{
    const std::string what = "\"" + name + "\", PRESS";
    return setValue(Writer(Op::Press).text(name).frame(), what.c_str(), info);
}

} // namespace eztw32
