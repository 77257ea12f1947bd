#include "writers/jpeg/JpegCompressor.h"

#include <csetjmp>
#include <cstdio>
#include <new>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

#if !defined(JCS_EXTENSIONS)
#error "libjpeg-turbo's libjpeg interface (with its extended colour spaces) is required"
#endif

namespace orvane::jpeg {

namespace {

// Bytes collected before they are handed to the Output in one piece.
constexpr std::size_t OutputChunk = std::size_t(1) << 20;

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    Result result;
    char text[JMSG_LENGTH_MAX];
};

struct Destination {
    jpeg_destination_mgr pub;
    Output* output;
    std::vector<JOCTET> buffer;
};

ErrorManager& errorsOf(j_common_ptr cinfo)
{
    return *reinterpret_cast<ErrorManager*>(cinfo->err);
}

// libjpeg ends every fatal error here: keep its text, choose the result and
// jump back into the Compressor method that called libjpeg.
[[noreturn]] void errorExit(j_common_ptr cinfo)
{
    ErrorManager& errors = errorsOf(cinfo);
    (*cinfo->err->format_message)(cinfo, errors.text);
    if (errors.result == Result::Ok) {
        switch (cinfo->err->msg_code) {
        case JERR_OUT_OF_MEMORY:
            errors.result = Result::OutOfMemory;
            break;
        case JERR_IMAGE_TOO_BIG:
            errors.result = Result::TooLarge;
            break;
        case JERR_EMPTY_IMAGE:
        case JERR_BAD_IN_COLORSPACE:
        case JERR_BAD_J_COLORSPACE:
        case JERR_COMPONENT_COUNT:
            errors.result = Result::InvalidArgument;
            break;
        default:
            errors.result = Result::CodecFailed;
            break;
        }
    }
    std::longjmp(errors.jump, 1);
}

// Warnings are not printed: a library must not write to the user's terminal.
void outputMessage(j_common_ptr)
{ }

void initDestination(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
    dest->pub.next_output_byte = dest->buffer.data();
    dest->pub.free_in_buffer = dest->buffer.size();
}

bool handOver(j_compress_ptr cinfo, std::size_t size)
{
    auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
    bool ok = false;
    try {
        ok = dest->output->write(dest->buffer.data(), size);
    } catch (...) {
        ok = false;
    }
    return ok;
}

void outputFailed(j_compress_ptr cinfo)
{
    ErrorManager& errors = errorsOf(reinterpret_cast<j_common_ptr>(cinfo));
    errors.result = Result::OutputFailed;
    ERREXIT(cinfo, JERR_FILE_WRITE);
}

boolean emptyOutputBuffer(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
    if (!handOver(cinfo, dest->buffer.size()))
        outputFailed(cinfo);
    dest->pub.next_output_byte = dest->buffer.data();
    dest->pub.free_in_buffer = dest->buffer.size();
    return TRUE;
}

void termDestination(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
    const std::size_t used = dest->buffer.size() - dest->pub.free_in_buffer;
    if (used > 0 && !handOver(cinfo, used))
        outputFailed(cinfo);
}

J_COLOR_SPACE colorSpaceOf(InputLayout layout)
{
    switch (layout) {
    case InputLayout::Gray:
        return JCS_GRAYSCALE;
    case InputLayout::Rgb:
        return JCS_RGB;
    case InputLayout::Bgrx:
        return JCS_EXT_BGRX;
    case InputLayout::Xrgb:
        return JCS_EXT_XRGB;
    }
    return JCS_UNKNOWN;
}

int componentsOf(InputLayout layout)
{
    switch (layout) {
    case InputLayout::Gray:
        return 1;
    case InputLayout::Rgb:
        return 3;
    case InputLayout::Bgrx:
    case InputLayout::Xrgb:
        return 4;
    }
    return 0;
}

} // namespace

const char* resultText(Result result)
{
    switch (result) {
    case Result::Ok:
        return "done";
    case Result::OutOfMemory:
        return "Insufficient memory";
    case Result::InvalidArgument:
        return "parameters the JPEG encoder cannot take";
    case Result::TooLarge:
        return "the picture is larger than a JPEG file can hold";
    case Result::OutputFailed:
        return "the JPEG data could not be written";
    case Result::CodecFailed:
        break;
    }
    return "the JPEG encoder failed";
}

struct Compressor::State {
    jpeg_compress_struct cinfo{};
    ErrorManager errors{};
    Destination destination{};
};

Compressor::Compressor() = default;

Compressor::~Compressor()
{
    destroy();
}

Result Compressor::failed(State& state)
{
    message_ = state.errors.text;
    const Result result = state.errors.result;
    state.errors.result = Result::Ok;
    return result;
}

// Every method below that calls into libjpeg sets the jump target first and
// holds no objects with destructors between the setjmp and the calls.

Result Compressor::create()
{
    if (state_)
        return Result::InvalidArgument;
    message_.clear();
    state_.reset(new (std::nothrow) State);
    if (!state_)
        return Result::OutOfMemory;
    State* s = state_.get();
    s->cinfo.err = jpeg_std_error(&s->errors.pub);
    s->errors.pub.error_exit = errorExit;
    s->errors.pub.output_message = outputMessage;
    s->errors.result = Result::Ok;
    if (setjmp(s->errors.jump)) {
        const Result result = failed(*s);
        // jpeg_create_compress failed half-way: free what it made.
        jpeg_destroy_compress(&s->cinfo);
        state_.reset();
        return result;
    }
    jpeg_create_compress(&s->cinfo);
    return Result::Ok;
}

Result Compressor::begin(const Parameters& p, Output& output)
{
    if (!state_ || begun_)
        return Result::InvalidArgument;
    message_.clear();
    if (p.width <= 0 || p.height <= 0 || p.quality < 1 || p.quality > 100 || p.densityUnit < 0
        || p.densityUnit > 2 || p.xDensity < 1 || p.xDensity > 65535 || p.yDensity < 1 || p.yDensity > 65535)
        return Result::InvalidArgument;
    if (p.width > MaxDimension || p.height > MaxDimension)
        return Result::TooLarge;
    State* s = state_.get();
    try {
        s->destination.buffer.resize(OutputChunk);
    } catch (const std::bad_alloc&) {
        return Result::OutOfMemory;
    }
    s->destination.output = &output;
    s->destination.pub.init_destination = initDestination;
    s->destination.pub.empty_output_buffer = emptyOutputBuffer;
    s->destination.pub.term_destination = termDestination;
    begun_ = true;
    if (setjmp(s->errors.jump))
        return failed(*s);
    jpeg_compress_struct& c = s->cinfo;
    c.dest = &s->destination.pub;
    c.image_width = JDIMENSION(p.width);
    c.image_height = JDIMENSION(p.height);
    c.input_components = componentsOf(p.layout);
    c.in_color_space = colorSpaceOf(p.layout);
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, p.quality, TRUE);
    // Full-resolution chroma: every component sampled 1x1.
    for (int i = 0; i < c.num_components; ++i) {
        c.comp_info[i].h_samp_factor = 1;
        c.comp_info[i].v_samp_factor = 1;
    }
    c.dct_method = JDCT_ISLOW;
    c.write_JFIF_header = TRUE;
    c.restart_in_rows = p.restartEveryRow ? 1 : 0;
    c.density_unit = UINT8(p.densityUnit);
    c.X_density = UINT16(p.xDensity);
    c.Y_density = UINT16(p.yDensity);
    jpeg_start_compress(&c, TRUE);
    return Result::Ok;
}

Result Compressor::writeRows(const unsigned char* const* rows, int count)
{
    if (!state_ || !begun_ || count < 0)
        return Result::InvalidArgument;
    State* s = state_.get();
    if (setjmp(s->errors.jump))
        return failed(*s);
    // libjpeg only reads the rows; its interface predates const.
    JSAMPARRAY samples = const_cast<JSAMPARRAY>(rows);
    JDIMENSION done = 0;
    while (done < JDIMENSION(count))
        done += jpeg_write_scanlines(&s->cinfo, samples + done, JDIMENSION(count) - done);
    return Result::Ok;
}

Result Compressor::finish()
{
    if (!state_ || !begun_)
        return Result::InvalidArgument;
    State* s = state_.get();
    begun_ = false;
    if (setjmp(s->errors.jump)) {
        const Result result = failed(*s);
        jpeg_abort_compress(&s->cinfo);
        s->destination.output = nullptr;
        return result;
    }
    jpeg_finish_compress(&s->cinfo);
    s->destination.output = nullptr;
    return Result::Ok;
}

void Compressor::abort()
{
    if (!state_ || !begun_)
        return;
    begun_ = false;
    jpeg_abort_compress(&state_->cinfo); // frees per-image memory; cannot fail
    state_->destination.output = nullptr;
}

void Compressor::destroy()
{
    if (!state_)
        return;
    begun_ = false;
    jpeg_destroy_compress(&state_->cinfo); // cannot fail
    state_.reset();
}

} // namespace orvane::jpeg
