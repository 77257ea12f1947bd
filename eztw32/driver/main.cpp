// The scanner library's driver host: the process in which the SANE backend
// of one scan session runs. The library starts one for every opening of a
// device and talks to it through core/DriverProtocol.h: requests on
// descriptor 3, answers on 4, cancels on 5. A backend that hangs or
// crashes takes only this process with it; the library ends a host that
// does not answer in time.
//
//   eztw32-driver PARENT-PID
//
// It ends with the library's process (or at once when that has already
// gone), and when the library closes its requests.
#include "core/DriverProtocol.h"

#include <sane/sane.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

using namespace eztw32;
using namespace eztw32::driver;

// The open device. The cancel thread reads it while the main thread may be
// inside the driver; opening and closing change it under the mutex.
std::mutex handleMutex;
SANE_Handle handle = nullptr;

double toNumber(SANE_Value_Type type, SANE_Word w)
{
    return type == SANE_TYPE_FIXED ? SANE_UNFIX(w) : double(w);
}

SANE_Word toWord(SANE_Value_Type type, double v)
{
    return type == SANE_TYPE_FIXED ? SANE_FIX(v) : SANE_Word(std::lround(v));
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

int indexOf(const std::string& name)
{
    if (!handle)
        return -1;
    for (SANE_Int i = 1;; ++i) {
        const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle, i);
        if (!d)
            return -1;
        if (d->name && name == d->name)
            return i;
    }
}

// Every option but the groups, with the title of the group it is in; or,
// given `only`, just the option of that name.
std::vector<OptionInfo> options(const std::string* only = nullptr)
{
    std::vector<OptionInfo> result;
    if (!handle)
        return result;
    std::string group;
    for (SANE_Int i = 1;; ++i) {
        const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle, i);
        if (!d)
            break;
        if (d->type == SANE_TYPE_GROUP) {
            group = d->title ? d->title : "";
            continue;
        }
        if (!d->name || !*d->name || (only && *only != d->name))
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
                if (sane_control_option(handle, i, SANE_ACTION_GET_VALUE, buf.data(), nullptr)
                    == SANE_STATUS_GOOD)
                    o.text = buf.data();
            } else if (o.isNumber() || o.type == OptionType::Bool) {
                std::vector<SANE_Word> words(size_t(o.count), 0);
                if (sane_control_option(handle, i, SANE_ACTION_GET_VALUE, words.data(), nullptr)
                    == SANE_STATUS_GOOD) {
                    for (SANE_Word w : words)
                        o.values.push_back(toNumber(d->type, w));
                    o.value = o.values.front();
                }
            }
        }
        result.push_back(std::move(o));
        if (only)
            break;
    }
    return result;
}

SANE_Status setNumbers(const std::string& name, const std::vector<double>& values, SANE_Int& info)
{
    const int index = indexOf(name);
    if (index < 0 || values.empty())
        return SANE_STATUS_UNSUPPORTED;
    const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle, index);
    if (!d || (d->type != SANE_TYPE_INT && d->type != SANE_TYPE_FIXED && d->type != SANE_TYPE_BOOL)
        || d->size < SANE_Int(sizeof(SANE_Word)))
        return SANE_STATUS_UNSUPPORTED;
    // Fewer values than elements: the last one fills the rest.
    std::vector<SANE_Word> words(size_t(d->size) / sizeof(SANE_Word));
    for (size_t k = 0; k < words.size(); ++k)
        words[k] = toWord(d->type, values[std::min(k, values.size() - 1)]);
    return sane_control_option(handle, index, SANE_ACTION_SET_VALUE, words.data(), &info);
}

SANE_Status setString(const std::string& name, const std::string& value, SANE_Int& info)
{
    const int index = indexOf(name);
    if (index < 0)
        return SANE_STATUS_UNSUPPORTED;
    const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle, index);
    if (!d || d->type != SANE_TYPE_STRING || d->size <= 0)
        return SANE_STATUS_UNSUPPORTED;
    // The descriptor's size bounds the value, its terminating NUL included.
    std::vector<char> buf(size_t(d->size), '\0');
    std::memcpy(buf.data(), value.c_str(), std::min(value.size(), buf.size() - 1));
    return sane_control_option(handle, index, SANE_ACTION_SET_VALUE, buf.data(), &info);
}

SANE_Status press(const std::string& name, SANE_Int& info)
{
    const int index = indexOf(name);
    if (index < 0)
        return SANE_STATUS_UNSUPPORTED;
    return sane_control_option(handle, index, SANE_ACTION_SET_VALUE, nullptr, &info);
}

// Rows read ahead of the library. Once a frame's first read comes, a
// thread of its own keeps reading the frame into a ring in the memory
// shared with the library, so that the driver is not kept waiting while
// the library writes what it has; each read of the library's is answered
// with the rows that are there, or waits for the next ones as a sane_read
// would. The library reads what it is given in place: the bytes it was
// last given stay untouched until its next read.
class ReadAhead {
public:
    void setRing(SANE_Byte* ring, std::size_t size)
    {
        ring_ = ring;
        size_ = size;
    }

    // Answers a read of at most `most` bytes: status, where in the shared
    // memory, how many bytes.
    void answer(Writer& w, std::int32_t most)
    {
        if (!handle || !ring_ || most <= 0) {
            w.i32(SANE_STATUS_INVAL).f64(0).i32(0);
            return;
        }
        if (!thread_.joinable() && !end_)
            thread_ = std::thread([this] { run(); });
        std::unique_lock lock(mutex_);
        freed_ = handed_; // what the library was given before is read
        changed_.notify_all();
        const std::uint64_t zeros = zeros_;
        changed_.wait(lock, [&] { return written_ > handed_ || end_ || zeros_ != zeros; });
        if (written_ > handed_) {
            const std::size_t at = std::size_t(handed_ % size_);
            const auto n = std::int32_t(
                std::min<std::uint64_t>({written_ - handed_, size_ - at, std::uint64_t(most)}));
            handed_ += std::uint64_t(n);
            w.i32(SANE_STATUS_GOOD).f64(double(at)).i32(n);
        } else {
            // The end of the frame, or the driver's "good, but nothing yet".
            w.i32(end_ ? *end_ : SANE_STATUS_GOOD).f64(0).i32(0);
        }
    }

    // Ends the reading of the frame, and forgets what was read. A driver
    // inside a read that does not return soon is cancelled, so that it
    // returns: a driver's cancel beside its own read is not safe with every
    // driver (the network one closes the socket the read waits on), so it
    // comes only when the read does not end by itself.
    void stop()
    {
        if (thread_.joinable()) {
            std::unique_lock lock(mutex_);
            stop_ = true;
            changed_.notify_all();
            const bool left
                = changed_.wait_for(lock, std::chrono::milliseconds(LeaveMs), [&] { return !inRead_; });
            lock.unlock();
            if (!left) {
                std::lock_guard cancelling(handleMutex);
                if (handle)
                    sane_cancel(handle);
            }
            thread_.join();
        }
        std::lock_guard lock(mutex_);
        written_ = handed_ = freed_ = zeros_ = 0;
        end_.reset();
        stop_ = false;
    }

private:
    // The most one sane_read is asked for: the library hears of rows in
    // pieces no larger than this.
    static constexpr std::size_t MostPerRead = 256 * 1024;
    // How long a read is given to end by itself when the reading stops.
    static constexpr int LeaveMs = 200;

    void run()
    {
        for (;;) {
            std::size_t at, room;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stop_ || written_ - freed_ < size_; });
                if (stop_)
                    return;
                at = std::size_t(written_ % size_);
                room = std::min<std::size_t>(
                    {size_ - at, std::size_t(freed_ + size_ - written_), MostPerRead});
            }
            SANE_Int length = 0;
            const SANE_Status st = sane_read(handle, ring_ + at, SANE_Int(room), &length);
            length = std::clamp<SANE_Int>(length, 0, SANE_Int(room));
            {
                std::lock_guard lock(mutex_);
                inRead_ = false;
                if (st != SANE_STATUS_GOOD)
                    end_ = st;
                else if (length > 0)
                    written_ += std::uint64_t(length);
                else
                    ++zeros_;
            }
            changed_.notify_all();
            if (st != SANE_STATUS_GOOD)
                return;
            if (length == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    SANE_Byte* ring_ = nullptr;
    std::size_t size_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    // Bytes of the frame so far: read into the ring, given to the library,
    // and given and read again by it (the ring's space behind them is free).
    std::uint64_t written_ = 0, handed_ = 0, freed_ = 0;
    std::uint64_t zeros_ = 0; // reads that were good with no data
    std::optional<SANE_Status> end_; // how the driver ended the frame
    bool stop_ = false;
    bool inRead_ = false; // the thread is inside sane_read
};

ReadAhead readAhead;

void closeDevice()
{
    readAhead.stop();
    SANE_Handle h;
    {
        std::lock_guard lock(handleMutex);
        h = std::exchange(handle, nullptr);
    }
    if (h)
        sane_close(h);
}

// One request, answered.
bool serve(std::string_view body, SANE_Status init)
{
    Reader r(body);
    const auto op = Op(r.i32());
    // Anything but reading ends the reading of a frame.
    if (op != Op::Read && op != Op::Parameters)
        readAhead.stop();
    Writer w;
    SANE_Int info = 0;
    switch (op) {
    case Op::Open: {
        const std::string name = r.text();
        closeDevice();
        SANE_Status st = init;
        SANE_Handle h = nullptr;
        if (st == SANE_STATUS_GOOD)
            st = sane_open(name.c_str(), &h);
        if (st == SANE_STATUS_GOOD) {
            std::lock_guard lock(handleMutex);
            handle = h;
        }
        w.i32(st);
        break;
    }
    case Op::Close:
        closeDevice();
        w.i32(SANE_STATUS_GOOD);
        break;
    case Op::Options:
    case Op::Option: {
        const std::string name = op == Op::Option ? r.text() : std::string();
        const std::vector<OptionInfo> found = options(op == Op::Option ? &name : nullptr);
        w.i32(SANE_STATUS_GOOD).i32(std::int32_t(found.size()));
        for (const OptionInfo& o : found)
            writeOption(w, o);
        break;
    }
    case Op::SetNumbers: {
        const std::string name = r.text();
        std::vector<double> values;
        for (std::int32_t n = r.i32(); n > 0 && r.ok(); --n)
            values.push_back(r.f64());
        const SANE_Status st = handle ? setNumbers(name, values, info) : SANE_STATUS_INVAL;
        w.i32(st).i32(info);
        break;
    }
    case Op::SetString: {
        const std::string name = r.text();
        const std::string value = r.text();
        const SANE_Status st = handle ? setString(name, value, info) : SANE_STATUS_INVAL;
        w.i32(st).i32(info);
        break;
    }
    case Op::Press: {
        const SANE_Status st = handle ? press(r.text(), info) : SANE_STATUS_INVAL;
        w.i32(st).i32(info);
        break;
    }
    case Op::Start:
        w.i32(handle ? sane_start(handle) : SANE_STATUS_INVAL);
        break;
    case Op::Parameters: {
        SANE_Parameters p{};
        const SANE_Status st = handle ? sane_get_parameters(handle, &p) : SANE_STATUS_INVAL;
        w.i32(st).i32(p.format).i32(p.last_frame).i32(p.bytes_per_line).i32(p.pixels_per_line).i32(p.lines);
        w.i32(p.depth);
        break;
    }
    case Op::Read:
        readAhead.answer(w, r.i32());
        break;
    case Op::Cancel:
        readAhead.stop();
        if (handle) {
            // Serialised with the cancel thread's: backends do not expect
            // two cancels at once.
            std::lock_guard lock(handleMutex);
            sane_cancel(handle);
        }
        w.i32(SANE_STATUS_GOOD);
        break;
    default:
        return false;
    }
    return r.ok() && writeFrame(AnswerFd, w.frame());
}

// A byte on the cancel pipe is a sane_cancel now, also while the main
// thread waits inside sane_read or sane_start, as SANE allows.
void cancelThread()
{
    char byte;
    for (;;) {
        const ssize_t n = ::read(CancelFd, &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        std::lock_guard lock(handleMutex);
        if (handle)
            sane_cancel(handle);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != pid_t(std::atol(argv[1])))
        return 1;
    std::signal(SIGPIPE, SIG_IGN);
    // Whatever a backend prints goes to standard error, never into the
    // answers.
    if (::dup2(2, 1) < 0)
        return 1;
    SANE_Int version = 0;
    const SANE_Status init = sane_init(&version, nullptr);
    std::thread(cancelThread).detach();
    struct stat memory { };
    if (::fstat(SharedFd, &memory) == 0 && memory.st_size > 0) {
        void* p
            = ::mmap(nullptr, std::size_t(memory.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, SharedFd, 0);
        if (p != MAP_FAILED)
            readAhead.setRing(static_cast<SANE_Byte*>(p), std::size_t(memory.st_size));
    }
    Inbox requests;
    std::string_view body;
    const auto more = [](char* p, std::size_t room) {
        ssize_t n;
        while ((n = ::read(RequestFd, p, room)) < 0 && errno == EINTR) { }
        return n;
    };
    while (requests.next(body, more))
        if (!serve(body, init))
            break;
    // The library has closed its end: the session is over.
    closeDevice();
    if (init == SANE_STATUS_GOOD)
        sane_exit();
    // The cancel thread may still wait on its pipe.
    std::_Exit(0);
}
