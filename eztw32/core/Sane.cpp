#include "Sane.h"

#include "Log.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <thread>

namespace eztw32 {
namespace {

double toNumber(SANE_Value_Type type, SANE_Word w)
{
    return type == SANE_TYPE_FIXED ? SANE_UNFIX(w) : double(w);
}

SANE_Word toWord(SANE_Value_Type type, double v)
{
    return type == SANE_TYPE_FIXED ? SANE_FIX(v) : SANE_Word(std::lround(v));
}

const char* statusText(SANE_Status s)
{
    return sane_strstatus(s);
}

std::optional<OptionType> typeOf(SANE_Value_Type type)
{
    switch (type) {
    case SANE_TYPE_BOOL:
        return OptionType::Bool;
    case SANE_TYPE_INT:
        return OptionType::Int;
    case SANE_TYPE_FIXED:
        return OptionType::Fixed;
    case SANE_TYPE_STRING:
        return OptionType::String;
    case SANE_TYPE_BUTTON:
        return OptionType::Button;
    case SANE_TYPE_GROUP:
        break;
    }
    return std::nullopt;
}

OptionUnit unitOf(SANE_Unit unit)
{
    switch (unit) {
    case SANE_UNIT_PIXEL:
        return OptionUnit::Pixel;
    case SANE_UNIT_BIT:
        return OptionUnit::Bit;
    case SANE_UNIT_MM:
        return OptionUnit::Mm;
    case SANE_UNIT_DPI:
        return OptionUnit::Dpi;
    case SANE_UNIT_PERCENT:
        return OptionUnit::Percent;
    case SANE_UNIT_MICROSECOND:
        return OptionUnit::Microsecond;
    case SANE_UNIT_NONE:
        break;
    }
    return OptionUnit::None;
}

OptionConstraint constraintOf(SANE_Constraint_Type constraint)
{
    switch (constraint) {
    case SANE_CONSTRAINT_RANGE:
        return OptionConstraint::Range;
    case SANE_CONSTRAINT_WORD_LIST:
        return OptionConstraint::WordList;
    case SANE_CONSTRAINT_STRING_LIST:
        return OptionConstraint::StringList;
    case SANE_CONSTRAINT_NONE:
        break;
    }
    return OptionConstraint::None;
}

unsigned capsOf(SANE_Int cap)
{
    static constexpr std::pair<SANE_Int, unsigned> flags[] = {
        {SANE_CAP_SOFT_SELECT, OptionCap::SoftSelect},
        {SANE_CAP_HARD_SELECT, OptionCap::HardSelect},
        {SANE_CAP_SOFT_DETECT, OptionCap::SoftDetect},
        {SANE_CAP_EMULATED, OptionCap::Emulated},
        {SANE_CAP_AUTOMATIC, OptionCap::Automatic},
        {SANE_CAP_INACTIVE, OptionCap::Inactive},
        {SANE_CAP_ADVANCED, OptionCap::Advanced},
    };
    unsigned caps = 0;
    for (const auto& [sane, own] : flags)
        if (cap & sane)
            caps |= own;
    return caps;
}

} // namespace

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

namespace {

// The backends SANE has loaded stay loaded across a restart: unloading them
// gains nothing, a backend's helper threads may still be ending, and what
// a backend keeps for the run would lose its owner.
void keepBackendsLoaded()
{
    std::vector<std::string> loaded;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            if (info->dlpi_name && std::strstr(info->dlpi_name, "/libsane-"))
                static_cast<std::vector<std::string>*>(data)->emplace_back(info->dlpi_name);
            return 0;
        },
        &loaded);
    for (const std::string& path : loaded)
        dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

} // namespace

void restartSane()
{
    Init& s = init();
    std::lock_guard lock(s.mutex);
    if (!s.done)
        return;
    keepBackendsLoaded();
    sane_exit();
    qCDebug(lcEztw32, "sane_exit()");
    s.done = false;
}

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
        qCDebug(lcEztw32, "sane_init() -> %s, version %d.%d.%d", statusText(result),
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
    qCDebug(lcEztw32, "sane_get_devices() -> %s", statusText(status));
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

SANE_Status Device::open(const std::string& name, const std::atomic<bool>* stop)
{
    close();
    BusyBackOff backOff(stop);
    for (;;) {
        SANE_Handle h = nullptr;
        const SANE_Status status = sane_open(name.c_str(), &h);
        qCDebug(lcEztw32, "sane_open(\"%s\") -> %s", name.c_str(), statusText(status));
        if (status == SANE_STATUS_GOOD) {
            std::lock_guard lock(handleMutex_);
            handle_ = h;
            name_ = name;
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
    if (h) {
        sane_close(h);
        qCDebug(lcEztw32, "sane_close(\"%s\")", name_.c_str());
    }
}

void Device::cancelAsync()
{
    std::lock_guard lock(handleMutex_);
    if (handle_) {
        qCDebug(lcEztw32, "sane_cancel(\"%s\") from the dialog", name_.c_str());
        sane_cancel(handle_);
    }
}

void Device::cancel()
{
    if (handle_) {
        // Serialised with cancelAsync(): SANE backends do not expect two
        // cancels at once.
        std::lock_guard lock(handleMutex_);
        sane_cancel(handle_);
        qCDebug(lcEztw32, "sane_cancel(\"%s\")", name_.c_str());
    }
}

SANE_Status Device::start()
{
    const SANE_Status st = sane_start(handle_);
    qCDebug(lcEztw32, "sane_start(\"%s\") -> %s", name_.c_str(), statusText(st));
    return st;
}

SANE_Status Device::parameters(SANE_Parameters& p)
{
    const SANE_Status st = sane_get_parameters(handle_, &p);
    qCDebug(lcEztw32,
        "sane_get_parameters(\"%s\") -> %s: format %d, last frame %d, %d bytes per line, %d pixels per line, "
        "%d lines, depth %d",
        name_.c_str(), statusText(st), int(p.format), int(p.last_frame), p.bytes_per_line, p.pixels_per_line,
        p.lines, p.depth);
    return st;
}

SANE_Status Device::read(SANE_Byte* data, SANE_Int room, SANE_Int* length)
{
    const SANE_Status st = sane_read(handle_, data, room, length);
    qCDebug(lcEztw32, "sane_read(%d) -> %s, %d bytes", room, statusText(st), *length);
    return st;
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
    std::string group;
    for (SANE_Int i = 1;; ++i) {
        const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle_, i);
        if (!d)
            break;
        if (d->type == SANE_TYPE_GROUP) {
            group = d->title ? d->title : "";
            continue;
        }
        if (!d->name || !*d->name)
            continue;
        const std::optional<OptionType> type = typeOf(d->type);
        if (!type)
            continue;
        OptionInfo o;
        o.index = i;
        o.name = d->name;
        o.title = d->title && *d->title ? d->title : d->name;
        o.description = d->desc ? d->desc : "";
        o.group = group;
        o.type = *type;
        o.unit = unitOf(d->unit);
        o.caps = capsOf(d->cap);
        o.constraint = constraintOf(d->constraint_type);
        if ((o.isNumber() || o.type == OptionType::Bool) && d->size > 0)
            o.count = std::max<int>(1, d->size / SANE_Int(sizeof(SANE_Word)));
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
        if (SANE_OPTION_IS_ACTIVE(d->cap) && (d->cap & SANE_CAP_SOFT_DETECT) && d->size > 0) {
            if (d->type == SANE_TYPE_STRING) {
                std::vector<char> buf(size_t(d->size) + 1, '\0');
                const SANE_Status st
                    = sane_control_option(handle_, i, SANE_ACTION_GET_VALUE, buf.data(), nullptr);
                qCDebug(lcEztw32, "sane_control_option(%d \"%s\", GET) -> %s: \"%s\"", i, d->name,
                    statusText(st), buf.data());
                if (st == SANE_STATUS_GOOD)
                    o.text = buf.data();
            } else if (o.isNumber() || o.type == OptionType::Bool) {
                std::vector<SANE_Word> words(size_t(o.count), 0);
                const SANE_Status st
                    = sane_control_option(handle_, i, SANE_ACTION_GET_VALUE, words.data(), nullptr);
                qCDebug(lcEztw32, "sane_control_option(%d \"%s\", GET) -> %s: %g", i, d->name, statusText(st),
                    toNumber(d->type, words[0]));
                if (st == SANE_STATUS_GOOD) {
                    for (SANE_Word w : words)
                        o.values.push_back(toNumber(d->type, w));
                    o.value = o.values.front();
                }
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

SANE_Status Device::setNumbers(const std::string& name, const std::vector<double>& values, SANE_Int* info)
{
    const int index = indexOf(name);
    if (index < 0 || values.empty())
        return SANE_STATUS_UNSUPPORTED;
    const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle_, index);
    if (!d || (d->type != SANE_TYPE_INT && d->type != SANE_TYPE_FIXED && d->type != SANE_TYPE_BOOL)
        || d->size < SANE_Int(sizeof(SANE_Word)))
        return SANE_STATUS_UNSUPPORTED;
    // Fewer values than elements: the last one fills the rest.
    std::vector<SANE_Word> words(size_t(d->size) / sizeof(SANE_Word));
    for (size_t k = 0; k < words.size(); ++k)
        words[k] = toWord(d->type, values[std::min(k, values.size() - 1)]);
    SANE_Int flags = 0;
    const SANE_Status st = sane_control_option(handle_, index, SANE_ACTION_SET_VALUE, words.data(), &flags);
    qCDebug(lcEztw32, "sane_control_option(%d \"%s\", SET %g) -> %s, info 0x%x", index, name.c_str(),
        values[0], statusText(st), unsigned(flags));
    if (info)
        *info = flags;
    return st;
}

SANE_Status Device::setNumber(const std::string& name, double value, SANE_Int* info)
{
    return setNumbers(name, {value}, info);
}

SANE_Status Device::setString(const std::string& name, const std::string& value, SANE_Int* info)
{
    const int index = indexOf(name);
    if (index < 0)
        return SANE_STATUS_UNSUPPORTED;
    const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle_, index);
    if (!d || d->type != SANE_TYPE_STRING || d->size <= 0)
        return SANE_STATUS_UNSUPPORTED;
    // The descriptor's size bounds the value, its terminating NUL included.
    std::vector<char> buf(size_t(d->size), '\0');
    std::memcpy(buf.data(), value.c_str(), std::min(value.size(), buf.size() - 1));
    SANE_Int flags = 0;
    const SANE_Status st = sane_control_option(handle_, index, SANE_ACTION_SET_VALUE, buf.data(), &flags);
    qCDebug(lcEztw32, "sane_control_option(%d \"%s\", SET \"%s\") -> %s, info 0x%x", index, name.c_str(),
        buf.data(), statusText(st), unsigned(flags));
    if (info)
        *info = flags;
    return st;
}

SANE_Status Device::press(const std::string& name, SANE_Int* info)
{
    const int index = indexOf(name);
    if (index < 0)
        return SANE_STATUS_UNSUPPORTED;
    SANE_Int flags = 0;
    const SANE_Status st = sane_control_option(handle_, index, SANE_ACTION_SET_VALUE, nullptr, &flags);
    qCDebug(lcEztw32, "sane_control_option(%d \"%s\", PRESS) -> %s, info 0x%x", index, name.c_str(),
        statusText(st), unsigned(flags));
    if (info)
        *info = flags;
    return st;
}

} // namespace eztw32
