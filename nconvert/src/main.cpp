// nconvert: converts the BMP file the TIFF and PNG exports write into the
// format the user chose. The export starts it as
//
//   nconvert -out tiff -o OUTPUT INPUT.bmp
//   nconvert -out png -o OUTPUT INPUT.bmp
//
// and nothing else is accepted. Exit code 0 means OUTPUT is complete; on any
// failure the exit code is 1 (2 for a wrong command line), one line on
// standard error says why, and an existing OUTPUT is left untouched.

#include "Converter.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int usage()
{
    std::fputs("usage: nconvert -out tiff|png -o OUTPUT INPUT.bmp\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 6 || std::strcmp(argv[1], "-out") != 0 || std::strcmp(argv[3], "-o") != 0
        || argv[4][0] == '\0' || argv[5][0] == '\0')
        return usage();
    nconvert::OutputFormat format;
    if (std::strcmp(argv[2], "tiff") == 0)
        format = nconvert::OutputFormat::Tiff;
    else if (std::strcmp(argv[2], "png") == 0)
        format = nconvert::OutputFormat::Png;
    else
        return usage();

    try {
        nconvert::convertBmp(argv[5], argv[4], format);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nconvert: %s\n", e.what());
        return 1;
    }
    return 0;
}
