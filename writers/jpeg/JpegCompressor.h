#pragma once
// A baseline JPEG compressor over libjpeg-turbo that streams rows in and
// compressed bytes out. libjpeg's own error exits are turned into results;
// nothing here throws.
#include <cstddef>
#include <memory>
#include <string>

namespace orvane::jpeg {

enum class Result {
    Ok,
    OutOfMemory,
    InvalidArgument, // parameters the encoder cannot take
    TooLarge, // a dimension beyond what a JPEG file can hold
    OutputFailed, // the Output refused the bytes
    CodecFailed, // any other libjpeg failure; see message()
};

// A short text for each result ("the output refused the bytes"); the
// compressor's message() has libjpeg's own words where it gave any.
const char* resultText(Result result);

// How the rows handed to writeRows() lay out one pixel in memory.
enum class InputLayout {
    Gray, // 1 byte: gray level; written as a 1-component gray JPEG
    Rgb, // 3 bytes: R, G, B
    Bgrx, // 4 bytes: B, G, R, unused (QImage RGB32/ARGB32 on little-endian)
    Xrgb, // 4 bytes: unused, R, G, B (the same on big-endian)
};

// The largest width or height a JPEG file holds.
constexpr int MaxDimension = 65500;

struct Parameters {
    int width = 0;
    int height = 0;
    InputLayout layout = InputLayout::Rgb;
    int quality = 100; // 1 to 100; colour is always stored without subsampling
    int densityUnit = 0; // JFIF: 0 aspect ratio only, 1 dots per inch, 2 per cm
    int xDensity = 1;
    int yDensity = 1;
    bool restartEveryRow = false; // a restart marker after every row of 8x8 blocks
};

// Where the compressed bytes go. write() returns false when they could not be
// taken; the compression then ends with Result::OutputFailed.
class Output {
public:
    virtual bool write(const unsigned char* data, std::size_t size) = 0;

protected:
    ~Output() = default;
};

class Compressor {
public:
    Compressor();
    ~Compressor(); // destroys the libjpeg object if destroy() was not called
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    // Creates the libjpeg compression object.
    Result create();
    // Sets the parameters and writes the file header to `output`, which must
    // stay alive until finish() or abort().
    Result begin(const Parameters& parameters, Output& output);
    // Compresses the next `count` rows, top to bottom.
    Result writeRows(const unsigned char* const* rows, int count);
    // Writes the end of the file and hands the last bytes to the output.
    Result finish();
    // Drops a compression that was begun and not finished.
    void abort();
    // Frees the libjpeg object; safe to call when create() failed.
    void destroy();

    bool created() const { return state_ != nullptr; }
    // libjpeg's text for the last failure, empty if there was none.
    const std::string& message() const { return message_; }

private:
    struct State;
    Result failed(State& state);

    std::unique_ptr<State> state_;
    std::string message_;
    bool begun_ = false;
};

} // namespace orvane::jpeg
