#include "Sane.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <thread>

namespace eztw32 {
namespace {

// A busy device is tried again for about this long before giving up.
constexpr int kBusyRetryLimitMs = 8000;

double toNumber(SANE_Value_Type type, SANE_Word w)
{
    return type == SANE_TYPE_FIXED ? SANE_UNFIX(w) : double(w);
}

SANE_Word toWord(SANE_Value_Type type, double v)
{
    return type == SANE_TYPE_FIXED ? SANE_FIX(v) : SANE_Word(std::lround(v));
}

} // namespace

SANE_Status ensureSaneInitialised()
{
    static std::mutex mutex;
    static bool done = false;
    static SANE_Status result = SANE_STATUS_GOOD;
    std::lock_guard lock(mutex);
    if (!done) {
        // A write to a closed socket must give EPIPE, not end the program.
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            std::signal(SIGPIPE, SIG_IGN);
        SANE_Int version = 0;
        result = sane_init(&version, nullptr);
        done = true;
    }
    return result;
}

SANE_Status listDevices(std::vector<DeviceInfo>& devices)
{
    devices.clear();
    const SANE_Device** list = nullptr;
    const SANE_Status status = sane_get_devices(&list, SANE_FALSE);
    if (status != SANE_STATUS_GOOD || !list)
        return status;
    auto text = [](const char* s) { return std::string(s ? s : ""); };
    for (int i = 0; list[i]; ++i)
        devices.push_back({text(list[i]->name), text(list[i]->vendor), text(list[i]->model),
                           text(list[i]->type)});
    return SANE_STATUS_GOOD;
}

std::optional<OptionInfo> findOption(const std::vector<OptionInfo>& options, const std::string& name)
{
    for (const OptionInfo& o : options)
        if (o.name == name)
            return o;
    return std::nullopt;
}

bool BusyBackOff::wait()
{
    auto stopped = [this] { return stop_ && stop_->load(); };
    if (stopped() || slept_ms_ >= kBusyRetryLimitMs)
        return false;
    const int step = std::min(step_ms_, kBusyRetryLimitMs - slept_ms_);
    for (int t = 0; t < step; t += 50) {
        if (stopped())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    slept_ms_ += step;
    step_ms_ = std::min(step_ms_ * 2, 2000);
    return !stopped();
}

SANE_Status Device::open(const std::string& name, const std::atomic<bool>* stop)
{
    close();
    BusyBackOff backOff(stop);
    for (;;) {
        SANE_Handle h = nullptr;
        const SANE_Status status = sane_open(name.c_str(), &h);
        if (status == SANE_STATUS_GOOD) {
            std::lock_guard lock(handleMutex_);
            handle_ = h;
            return status;
        }
        if (status != SANE_STATUS_DEVICE_BUSY || !backOff.wait())
            return status;
    }
}

void Device::close()
{
    SANE_Handle h;
    {
        std::lock_guard lock(handleMutex_);
        h = handle_;
        handle_ = nullptr;
    }
    if (h)
        sane_close(h);
}

void Device::cancelAsync()
{
    std::lock_guard lock(handleMutex_);
    if (handle_)
        sane_cancel(handle_);
}

void Device::cancel()
{
    if (handle_)
        sane_cancel(handle_);
}

int Device::indexOf(const std::string& name) const
{
    if (!handle_)
        return -1;
    for (SANE_Int i = 1;; ++i) {
        const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle_, i);
        if (!d)
            return -1;
        if (d->name && name == d->name)
            return i;
    }
}

std::vector<OptionInfo> Device::options() const
{
    std::vector<OptionInfo> result;
    if (!handle_)
        return result;
    for (SANE_Int i = 1;; ++i) {
        const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle_, i);
        if (!d)
            break;
        if (!d->name || !*d->name || d->type == SANE_TYPE_GROUP || d->type == SANE_TYPE_BUTTON)
            continue;
        OptionInfo o;
        o.name = d->name;
        o.title = d->title ? d->title : d->name;
        o.type = d->type;
        o.unit = d->unit;
        o.cap = d->cap;
        o.constraint = d->constraint_type;
        if (d->constraint_type == SANE_CONSTRAINT_RANGE && d->constraint.range) {
            o.min = toNumber(d->type, d->constraint.range->min);
            o.max = toNumber(d->type, d->constraint.range->max);
            o.quant = toNumber(d->type, d->constraint.range->quant);
        } else if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST && d->constraint.word_list) {
            for (SANE_Int k = 1; k <= d->constraint.word_list[0]; ++k)
                o.numbers.push_back(toNumber(d->type, d->constraint.word_list[k]));
        } else if (d->constraint_type == SANE_CONSTRAINT_STRING_LIST && d->constraint.string_list) {
            for (int k = 0; d->constraint.string_list[k]; ++k)
                o.strings.emplace_back(d->constraint.string_list[k]);
        }
        if (SANE_OPTION_IS_ACTIVE(d->cap) && d->size > 0) {
            if (d->type == SANE_TYPE_STRING) {
                std::vector<char> buf(size_t(d->size) + 1, '\0');
                if (sane_control_option(handle_, i, SANE_ACTION_GET_VALUE, buf.data(), nullptr)
                    == SANE_STATUS_GOOD)
                    o.text = buf.data();
            } else if (o.isNumber() || d->type == SANE_TYPE_BOOL) {
                // Arrays are read whole; the first element is the value shown.
                std::vector<SANE_Word> words(size_t(d->size) / sizeof(SANE_Word) + 1, 0);
                if (sane_control_option(handle_, i, SANE_ACTION_GET_VALUE, words.data(), nullptr)
                    == SANE_STATUS_GOOD)
                    o.value = toNumber(d->type, words[0]);
            }
        }
        result.push_back(std::move(o));
    }
    return result;
}

std::optional<OptionInfo> Device::option(const std::string& name) const
{
    return findOption(options(), name);
}

SANE_Status Device::setNumber(const std::string& name, double value)
{
    const int index = indexOf(name);
    if (index < 0)
        return SANE_STATUS_UNSUPPORTED;
    const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle_, index);
    if (!d || (d->type != SANE_TYPE_INT && d->type != SANE_TYPE_FIXED) || d->size < SANE_Int(sizeof(SANE_Word)))
        return SANE_STATUS_UNSUPPORTED;
    std::vector<SANE_Word> words(size_t(d->size) / sizeof(SANE_Word), toWord(d->type, value));
    SANE_Int info = 0;
    return sane_control_option(handle_, index, SANE_ACTION_SET_VALUE, words.data(), &info);
}

SANE_Status Device::setString(const std::string& name, const std::string& value)
{
    const int index = indexOf(name);
    if (index < 0)
        return SANE_STATUS_UNSUPPORTED;
    const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle_, index);
    if (!d || d->type != SANE_TYPE_STRING || d->size <= 0)
        return SANE_STATUS_UNSUPPORTED;
    std::vector<char> buf(std::max<size_t>(size_t(d->size), value.size() + 1), '\0');
    std::memcpy(buf.data(), value.c_str(), value.size());
    SANE_Int info = 0;
    return sane_control_option(handle_, index, SANE_ACTION_SET_VALUE, buf.data(), &info);
}

} // namespace eztw32
