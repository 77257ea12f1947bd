// What the library and its driver host (eztw32-driver, the process that
// runs the SANE backend of one scan session) say to each other. The library
// writes requests, one at a time, and reads one answer to each; a cancel
// goes through a pipe of its own, so that it reaches the host while the
// host is inside the driver. No Qt here: the host links SANE and nothing
// else of the library's.
//
// Every message is a frame: its length (4 bytes), then the fields, each in
// the machine's own byte order (both ends are one build on one machine):
// numbers of 4 or 8 bytes, texts as their length and bytes. A request starts
// with its Op; an answer with a SANE status.
#pragma once

#include "OptionInfo.h"

#include "replace/Replace.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace eztw32::driver {

// The descriptors of the host, set up by the library as it starts it.
constexpr int RequestFd = 3;
constexpr int AnswerFd = 4;
constexpr int CancelFd = 5;
// The memory the host reads rows into, SharedBytes long: a ring it reads a
// frame into ahead of the library; the answer to a read says where in it the
// rows are.
constexpr int SharedFd = 6;
constexpr std::size_t SharedBytes = 1u << 20;

// A frame longer than this is a broken stream (the largest is the option
// list).
constexpr std::uint32_t MaxFrame = 64u << 20;

enum class Op : std::int32_t {
    Open = 1, // name -> status
    Close, // -> status
    Options, // -> status, option count, options
    SetNumbers, // name, count, values -> status, info
    SetString, // name, value -> status, info
    Press, // name -> status, info
    Start, // -> status
    Parameters, // -> status, format, last frame, bytes per line, pixels per line, lines, depth
    Read, // most -> status, offset (f64) in the shared memory, bytes there
    Cancel, // -> status
    Option, // name -> status, 0 or 1, the option of that name
};

class Writer {
public:
    Writer() { data_.resize(4); }
    // A request, its op first.
    explicit Writer(Op op)
        : Writer()
    {
        i32(std::int32_t(op));
    }
    Writer& i32(std::int32_t v) { return raw(&v, sizeof v); }
    Writer& f64(double v) { return raw(&v, sizeof v); }
    Writer& text(const std::string& s)
    {
        i32(std::int32_t(s.size()));
        return raw(s.data(), s.size());
    }
    Writer& raw(const void* p, std::size_t n)
    {
        data_.append(static_cast<const char*>(p), n);
        return *this;
    }
    // The frame, its length in front.
    const std::string& frame()
    {
        const auto n = std::uint32_t(data_.size() - 4);
        std::memcpy(data_.data(), &n, 4);
        return data_;
    }

private:
    std::string data_;
};

// Reads the fields of one frame's body; a field past its end turns ok()
// false and reads as nothing.
class Reader {
public:
    explicit Reader(std::string_view body)
        : p_(body.data())
        , left_(body.size())
    { }
    std::int32_t i32()
    {
        std::int32_t v = 0;
        take(&v, sizeof v);
        return v;
    }
    double f64()
    {
        double v = 0;
        take(&v, sizeof v);
        return v;
    }
    std::string text()
    {
        const std::int32_t n = i32();
        if (n < 0 || std::size_t(n) > left_) {
            ok_ = false;
            return {};
        }
        std::string s(p_, std::size_t(n));
        p_ += n;
        left_ -= std::size_t(n);
        return s;
    }
    bool ok() const { return ok_; }

private:
    void take(void* v, std::size_t n)
    {
        if (left_ < n) {
            ok_ = false;
            left_ = 0;
            return;
        }
        std::memcpy(v, p_, n);
        p_ += n;
        left_ -= n;
    }
    const char* p_;
    std::size_t left_;
    bool ok_ = true;
};

inline void writeOption(Writer& w, const OptionInfo& o)
{
    w.i32(o.index).text(o.name).text(o.title).text(o.description).text(o.group);
    w.i32(std::int32_t(o.type)).i32(std::int32_t(o.unit)).i32(std::int32_t(o.caps)).i32(o.count);
    w.i32(std::int32_t(o.constraint)).f64(o.min).f64(o.max).f64(o.quant);
    w.i32(std::int32_t(o.numbers.size()));
    for (double v : o.numbers)
        w.f64(v);
    w.i32(std::int32_t(o.strings.size()));
    for (const std::string& s : o.strings)
        w.text(s);
    w.f64(o.value).i32(std::int32_t(o.values.size()));
    for (double v : o.values)
        w.f64(v);
    w.text(o.text);
}

inline OptionInfo readOption(Reader& r)
{
    OptionInfo o;
    o.index = r.i32();
    o.name = r.text();
    o.title = r.text();
    o.description = r.text();
    o.group = r.text();
    o.type = OptionType(r.i32());
    o.unit = OptionUnit(r.i32());
    o.caps = unsigned(r.i32());
    o.count = r.i32();
    o.constraint = OptionConstraint(r.i32());
    o.min = r.f64();
    o.max = r.f64();
    o.quant = r.f64();
    for (std::int32_t n = r.i32(); n > 0 && r.ok(); --n)
        o.numbers.push_back(r.f64());
    for (std::int32_t n = r.i32(); n > 0 && r.ok(); --n)
        o.strings.push_back(r.text());
    o.value = r.f64();
    for (std::int32_t n = r.i32(); n > 0 && r.ok(); --n)
        o.values.push_back(r.f64());
    o.text = r.text();
    return o;
}

// Blocking transfers of whole frames, for the host (the library waits with
// a deadline of its own). False when the other end has gone or the stream
// is broken.
inline bool writeFrame(int fd, const std::string& frame)
{
    return replace::writeAll(fd, frame.data(), frame.size()) == 0;
}

// Frames as they come through a pipe, taken in as few reads as their writer
// made: a whole answer is usually one read.
class Inbox {
public:
    // The body of the next whole frame, valid until the next call. `more`
    // reads into (pointer, room) like read(2): nothing (0 or less) means the
    // other end has gone. False then, or for a frame too long to be one.
    template <class More> bool next(std::string_view& body, More&& more)
    {
        if (used_ > 0) {
            std::memmove(data_.data(), data_.data() + used_, have_ - used_);
            have_ -= used_;
            used_ = 0;
        }
        for (;;) {
            std::uint32_t n = 0;
            if (have_ >= 4) {
                std::memcpy(&n, data_.data(), 4);
                if (n > MaxFrame)
                    return false;
                if (have_ >= 4 + std::size_t(n)) {
                    body = std::string_view(data_.data() + 4, n);
                    used_ = 4 + std::size_t(n);
                    return true;
                }
            }
            if (data_.size() < std::max<std::size_t>(4 + std::size_t(n), have_ + 4096))
                data_.resize(std::max<std::size_t>(4 + std::size_t(n), have_ + 65536));
            const ssize_t got = more(data_.data() + have_, data_.size() - have_);
            if (got <= 0)
                return false;
            have_ += std::size_t(got);
        }
    }

private:
    std::vector<char> data_;
    std::size_t have_ = 0, used_ = 0;
};

} // namespace eztw32::driver
