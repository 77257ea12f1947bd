#pragma once
// Encodes one picture into one baseline JPEG file on several threads: the
// picture is cut into horizontal strips, each strip is compressed on its own
// with a restart marker after every row of blocks, and the strips are joined
// in order into a single file, as if one encoder had written it. A picture
// of one strip is written without restart markers.
#include "writers/jpeg/JpegCompressor.h"

#include <memory>
#include <string>
#include <vector>

namespace orvane::jpeg {

// Hands rows of the picture to the threads. Each worker (0 to workers - 1)
// asks for rows of its own strips only; the pointers it gets stay valid
// until the same worker asks again. nullptr means memory ran out.
class RowSource {
public:
    virtual const unsigned char* const* rows(int first, int count, int worker) = 0;

protected:
    ~RowSource() = default;
};

class StripEncoder {
public:
    // Picture rows per strip: 64 rows of 8x8 blocks, a multiple of 8 so that
    // the restart markers of the strips line up (they count 0 to 7).
    static constexpr int StripRows = 512;
    // Rows handed to a compressor per call.
    static constexpr int Band = 16;

    // The number of threads the encoder uses on this machine.
    static int defaultWorkers();

    explicit StripEncoder(int workers = defaultWorkers());
    ~StripEncoder();
    StripEncoder(const StripEncoder&) = delete;
    StripEncoder& operator=(const StripEncoder&) = delete;

    int workers() const { return workers_; }
    // Creates the compressors, one per worker.
    Result start();
    // Encodes the whole picture into `output`; `parameters` give the full size.
    Result encode(const Parameters& parameters, RowSource& rows, Output& output);
    // Frees the compressors; safe after a failed start().
    void shutdown();

    // The words of libjpeg or of the encoder for the last failure; empty
    // where neither gave any (resultText() then says what happened).
    const std::string& message() const { return message_; }

private:
    int workers_;
    std::vector<std::unique_ptr<Compressor>> compressors_;
    std::string message_;
};

} // namespace orvane::jpeg
