#include "imaging/JPEG.h"

#include "imaging/Image.h"
#include "imaging/ReplacingFile.h"

#include <QFile>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

// The library's standard error manager with the recovery point behind it: a
// fatal error (a damaged picture, a full disk) comes back to the caller with
// the library's words instead of ending the process.
struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf setjmpBuffer;
    char message[JMSG_LENGTH_MAX];
};

// The library's working memory (above all the whole-image coefficient buffer
// of a progressive picture) is held to the same bound as the decoded picture;
// past it the library fails instead of asking for more.
constexpr long MaxDecoderWorkingBytes = long(MaxDecodedImageBytes);

void ErrorExit(j_common_ptr cinfo)
{
    ErrorManager *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    longjmp(err->setjmpBuffer, 1);
}

// The one error manager of the decoder and the encoder, for cinfo.err.
jpeg_error_mgr *RecoveringErrors(ErrorManager &manager)
{
    jpeg_std_error(&manager.pub);
    manager.pub.error_exit = ErrorExit;
    manager.message[0] = '\0';
    return &manager.pub;
}

// Output that is not three-component RGB, in the layout RGB takes.
void ToRGB(const unsigned char *from, int components, unsigned char *to, int width)
{
    for (int x = 0; x < width; ++x, to += 3, from += components) {
        if (components == 1) {
            to[0] = to[1] = to[2] = from[0];
        } else if (components == 2) {
            to[0] = from[0];
            to[1] = from[1];
            to[2] = 0;
        } else {
            to[0] = from[0];
            to[1] = from[1];
            to[2] = from[2];
        }
    }
}

// Decodes an open file into the sink. Kept apart from DecodeJPEG so that the
// function that calls setjmp has no locals with destructors.
bool DecodeJPEGFile(FILE *file, RowSink &sink)
{
    jpeg_decompress_struct cinfo;
    ErrorManager jerr;

    // Step 1: error handling and decompressor
    cinfo.err = RecoveringErrors(jerr);
    if (setjmp(jerr.setjmpBuffer)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = MaxDecoderWorkingBytes;

    // Step 2: read the header; refuse an oversized picture before anything is allocated
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    if (size_t(cinfo.image_width) * size_t(cinfo.image_height) * 3 > MaxDecodedImageBytes) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }

    // Step 3: start decompression with the library's defaults
    jpeg_start_decompress(&cinfo);

    // Step 4: the sink takes the size or refuses the picture
    const int width = int(cinfo.output_width);
    if (!sink.Begin(width, int(cinfo.output_height))) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }

    // Step 5: read the scanlines; RGB goes straight into the sink's rows
    const int components = cinfo.output_components;
    // Released with the decompressor, also when an error jumps out.
    JSAMPARRAY buffer = components == 3
                            ? nullptr
                            : (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                                         JDIMENSION(components) * cinfo.output_width, 1);
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = int(cinfo.output_scanline);
        JSAMPROW row = sink.Row(y);
        if (buffer) {
            jpeg_read_scanlines(&cinfo, buffer, 1);
            ToRGB(buffer[0], components, row, width);
        } else {
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        sink.RowDone(y);
    }

    // Step 6: finish
    jpeg_finish_decompress(&cinfo);
    const bool clean = jerr.pub.num_warnings == 0;
    jpeg_destroy_decompress(&cinfo);
    return clean;
}

// ReadJPEG's sink: the rows of the image itself.
class ImageRows : public RowSink {
public:
    explicit ImageRows(Image &image) : image(image) {}

    // The image's previous pixels are not kept.
    bool Begin(int width, int height) override
    {
        std::free(image.data);
        image.data = nullptr;
        image.Resize(width, height, true);
        return image.data != nullptr;
    }

    unsigned char *Row(int y) override { return image.data + size_t(y) * size_t(image.width) * 3; }
    void RowDone(int) override {}

private:
    Image &image;
};

// EncodeJPEG's work. Kept apart from it for the same reason as DecodeJPEGFile.
bool EncodeJPEGFile(FILE *file, const Image &image, int quality, const std::function<void(int)> &rowDone,
                    ErrorManager &jerr)
{
    jpeg_compress_struct cinfo;

    // Step 1: error handling and compressor; a failed write comes back here
    cinfo.err = RecoveringErrors(jerr);
    if (setjmp(jerr.setjmpBuffer)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);

    // Step 2: describe the picture and set the quality
    cinfo.image_width = JDIMENSION(image.width);
    cinfo.image_height = JDIMENSION(image.height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);

    // Step 3: compress row by row, straight from the image's own rows
    jpeg_start_compress(&cinfo, TRUE);
    const size_t rowBytes = size_t(image.width) * 3;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = image.data + size_t(cinfo.next_scanline) * rowBytes;
        jpeg_write_scanlines(&cinfo, &row, 1);
        if (rowDone)
            rowDone(int(cinfo.next_scanline));
    }

    // Step 4: finish; this flushes the library's buffer and checks the stream
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}   // namespace

bool DecodeJPEG(const QString &filename, RowSink &sink)
{
    const QByteArray name = QFile::encodeName(filename);
    FILE *file = std::fopen(name.constData(), "rb");
    if (!file) {
        std::printf("Error opening jpeg file %s\n!", name.constData());
        std::fflush(stdout);
        return false;
    }
    const bool decoded = DecodeJPEGFile(file, sink);
    std::fclose(file);
    return decoded;
}

bool ReadJPEG(const QString &filename, Image &image)
{
    ImageRows rows(image);
    return DecodeJPEG(filename, rows);
}

bool EncodeJPEG(FILE *file, const Image &image, int quality, const std::function<void(int)> &rowDone, QString *message)
{
    if (!image.data || image.width < 1 || image.height < 1)
        return false;
    ErrorManager jerr;
    const bool encoded = EncodeJPEGFile(file, image, quality, rowDone, jerr);
    if (!encoded && message)
        *message = QString::fromLocal8Bit(jerr.message);
    return encoded;
}

bool WriteJPEG(const QString &filename, const Image &image, int quality)
{
    if (!image.data || image.width < 1 || image.height < 1)
        return false;
    ReplacingFile file(filename);
    if (!file.Open()) {
        std::printf("Error opening output jpeg file %s\n!", QFile::encodeName(filename).constData());
        std::fflush(stdout);
        return false;
    }
    return EncodeJPEG(file.Stream(), image, quality) && file.Commit();
}
