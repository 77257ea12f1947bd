#pragma once
// Decodes a JPEG file with libjpeg itself, independent of the writer, and
// reports what its headers say.
#include <QImage>
#include <QString>

#include <csetjmp>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

namespace orvane::test {

struct DecodedJpeg {
    bool ok = false;
    QString error;
    int width = 0;
    int height = 0;
    int components = 0;
    std::vector<int> hSampling; // per component
    std::vector<int> vSampling;
    bool jfif = false;
    int densityUnit = -1;
    int xDensity = 0;
    int yDensity = 0;
    int restartInterval = 0; // in blocks, 0 without restart markers
    long warnings = 0; // damage libjpeg noticed and read past
    std::vector<int> lumaQuantizers; // the 64 values of table 0
    QImage pixels; // Grayscale8 or RGB888
};

namespace detail {
struct DecodeErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char text[JMSG_LENGTH_MAX];
};
inline void decodeErrorExit(j_common_ptr cinfo)
{
    auto* e = reinterpret_cast<DecodeErrors*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, e->text);
    std::longjmp(e->jump, 1);
}
inline void quiet(j_common_ptr)
{ }

// Kept apart from decodeJpeg so that no object with a destructor lives
// across the setjmp.
inline bool decodeInto(std::FILE* f, DecodedJpeg& out, DecodeErrors& errors)
{
    jpeg_decompress_struct cinfo;
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = decodeErrorExit;
    errors.pub.output_message = quiet;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    out.width = int(cinfo.image_width);
    out.height = int(cinfo.image_height);
    out.components = cinfo.num_components;
    for (int i = 0; i < cinfo.num_components; ++i) {
        out.hSampling.push_back(cinfo.comp_info[i].h_samp_factor);
        out.vSampling.push_back(cinfo.comp_info[i].v_samp_factor);
    }
    out.jfif = cinfo.saw_JFIF_marker;
    out.densityUnit = cinfo.density_unit;
    out.xDensity = cinfo.X_density;
    out.yDensity = cinfo.Y_density;
    if (cinfo.quant_tbl_ptrs[0])
        for (int i = 0; i < DCTSIZE2; ++i)
            out.lumaQuantizers.push_back(cinfo.quant_tbl_ptrs[0]->quantval[i]);
    const bool gray = cinfo.num_components == 1;
    cinfo.out_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
    cinfo.dct_method = JDCT_ISLOW;
    out.pixels = QImage(out.width, out.height, gray ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    jpeg_start_decompress(&cinfo);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out.pixels.scanLine(int(cinfo.output_scanline));
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    out.restartInterval = int(cinfo.restart_interval);
    jpeg_finish_decompress(&cinfo);
    out.warnings = errors.pub.num_warnings;
    jpeg_destroy_decompress(&cinfo);
    return true;
}
} // namespace detail

inline DecodedJpeg decodeJpeg(const QString& path)
{
    DecodedJpeg out;
    std::FILE* f = std::fopen(path.toLocal8Bit().constData(), "rb");
    if (!f) {
        out.error = QStringLiteral("cannot open ") + path;
        return out;
    }
    detail::DecodeErrors errors{};
    out.ok = detail::decodeInto(f, out, errors);
    std::fclose(f);
    if (!out.ok)
        out.error = QString::fromLocal8Bit(errors.text);
    return out;
}

} // namespace orvane::test
