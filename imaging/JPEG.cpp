#include "imaging/JPEG.h"

#include "imaging/Image.h"
#include "imaging/ReplacingFile.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <utility>

#include <jpeglib.h>

namespace {

// The library's standard error manager with the recovery point behind it: a
// fatal error (a damaged picture, a full disk) comes back to the caller with
// the library's words instead of ending the process.
struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf setjmpBuffer;
    char message[JMSG_LENGTH_MAX];   // the fatal error, else the decoder's first warning
};

// The library's working memory (above all the whole-image coefficient buffer
// of a progressive picture) is held to the same bound as the decoded picture;
// past it the library fails instead of asking for more.
constexpr long MaxDecoderWorkingBytes = long(MaxDecodedImageBytes);

// EXIF orientations: 1 is "as stored", 2 to 8 the turns and flips.
constexpr int OrientationAsStored = 1;
constexpr int OrientationCount = 8;

void ErrorExit(j_common_ptr cinfo)
{
    ErrorManager *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    longjmp(err->setjmpBuffer, 1);
}

// The one error manager of the decoders and the encoder, for cinfo.err.
jpeg_error_mgr *RecoveringErrors(ErrorManager &manager)
{
    jpeg_std_error(&manager.pub);
    manager.pub.error_exit = ErrorExit;
    manager.message[0] = '\0';
    return &manager.pub;
}

// The decoder's output_message: the library's first warning is kept to be
// reported with the picture's name instead of going to standard error.
void KeepMessage(j_common_ptr cinfo)
{
    ErrorManager *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    if (err->message[0] == '\0')
        (*cinfo->err->format_message)(cinfo, err->message);
}

void PrintProblem(const QString &filename, const JPEGProblem &problem)
{
    const QByteArray name = QFile::encodeName(filename);
    if (problem.kind == JPEGProblem::CannotOpen) {
        std::printf("Error opening jpeg file %s\n!", name.constData());
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "%s: %s\n", name.constData(), problem.message.toLocal8Bit().constData());
    }
}

std::atomic<JPEGReporter> reporter{PrintProblem};

// The orientation the first EXIF block among the saved APP1 segments asks
// for. The block comes from the file as it is, so every offset and count is
// checked against its length; anything unexpected means "as stored".
int ExifOrientation(jpeg_saved_marker_ptr marker)
{
    static const unsigned char ExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
    while (marker
           && (marker->marker != JPEG_APP0 + 1 || marker->data_length < sizeof ExifHeader
               || std::memcmp(marker->data, ExifHeader, sizeof ExifHeader) != 0))
        marker = marker->next;
    if (!marker || marker->data_length < sizeof ExifHeader + 8)
        return OrientationAsStored;
    // The TIFF structure: byte order, 42, the offset of the first directory.
    const unsigned char *tiff = marker->data + sizeof ExifHeader;
    const size_t size = marker->data_length - sizeof ExifHeader;
    const bool little = tiff[0] == 'I' && tiff[1] == 'I';
    if (!little && !(tiff[0] == 'M' && tiff[1] == 'M'))
        return OrientationAsStored;
    const auto u16 = [&](size_t at) { return little ? tiff[at] | tiff[at + 1] << 8 : tiff[at] << 8 | tiff[at + 1]; };
    const auto u32 = [&](size_t at) {
        return quint32(u16(little ? at + 2 : at)) << 16 | quint32(u16(little ? at : at + 2));
    };
    const size_t directory = u32(4);
    if (u16(2) != 42 || directory > size - 2)
        return OrientationAsStored;
    // Twelve bytes an entry: tag, type, count, value; the orientation is one
    // SHORT (type 3) held in the value's first two bytes.
    const int entries = u16(directory);
    for (int i = 0; i < entries; ++i) {
        const size_t entry = directory + 2 + size_t(i) * 12;
        if (entry + 12 > size)
            break;
        if (u16(entry) != 0x0112)
            continue;
        const int value = u16(entry + 8);
        if (u16(entry + 2) != 3 || u32(entry + 4) != 1 || value < 1 || value > OrientationCount)
            break;
        return value;
    }
    return OrientationAsStored;
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

// Passes the decoded rows on to the caller's sink upright: as they come for
// a picture stored upright; otherwise into a picture of its own, which End
// hands on turned, since turning needs every row.
class UprightRows {
public:
    explicit UprightRows(RowSink &sink) : sink(sink) {}

    bool Begin(int width, int height, int exifOrientation)
    {
        orientation = exifOrientation;
        if (orientation == OrientationAsStored)
            return sink.Begin(width, height);
        stored = Image(width, height);
        return stored.data != nullptr;
    }

    unsigned char *Row(int y)
    {
        return orientation == OrientationAsStored ? sink.Row(y) : stored.data + size_t(y) * size_t(stored.width) * 3;
    }

    void RowDone(int y)
    {
        if (orientation == OrientationAsStored)
            sink.RowDone(y);
    }

    // After the last row, or after a fatal error with the rows decoded so
    // far; false when the sink refuses the turned picture.
    bool End()
    {
        if (!stored.data)
            return true;
        // The upright picture starts in one of the stored corners and runs
        // along the stored rows, or (transposed) down the stored columns.
        const bool transposed = orientation >= 5;
        const bool fromRight = orientation == 2 || orientation == 3 || orientation == 7 || orientation == 8;
        const bool fromBottom = orientation == 3 || orientation == 4 || orientation == 6 || orientation == 7;
        const ptrdiff_t pixel = 3, row = ptrdiff_t(stored.width) * 3;
        const ptrdiff_t alongRow = fromRight ? -pixel : pixel;
        const ptrdiff_t alongColumn = fromBottom ? -row : row;
        // Upright pixel (x, y) is stored at first + x * across + y * down.
        const unsigned char *first = stored.data + (fromRight ? ptrdiff_t(stored.width - 1) * pixel : 0)
                                     + (fromBottom ? ptrdiff_t(stored.height - 1) * row : 0);
        const ptrdiff_t across = transposed ? alongColumn : alongRow;
        const ptrdiff_t down = transposed ? alongRow : alongColumn;
        const int width = transposed ? stored.height : stored.width;
        const int height = transposed ? stored.width : stored.height;
        if (!sink.Begin(width, height))
            return false;
        for (int y = 0; y < height; ++y) {
            unsigned char *to = sink.Row(y);
            const unsigned char *from = first + y * down;
            for (int x = 0; x < width; ++x, to += 3, from += across) {
                to[0] = from[0];
                to[1] = from[1];
                to[2] = from[2];
            }
            sink.RowDone(y);
        }
        return true;
    }

private:
    RowSink &sink;
    int orientation = OrientationAsStored;
    Image stored;   // the picture as stored, when it must be turned
};

// Decodes an open file into the rows; the library's words about it are left
// in jerr. Kept apart from DecodeJPEG so that the function that calls setjmp
// has no locals with destructors.
JPEGProblem::Kind DecodeJPEGFile(FILE *file, UprightRows &rows, size_t maxBytes, ErrorManager &jerr)
{
    jpeg_decompress_struct cinfo;

    // Step 1: error handling and decompressor
    cinfo.err = RecoveringErrors(jerr);
    jerr.pub.output_message = KeepMessage;
    if (setjmp(jerr.setjmpBuffer)) {
        jpeg_destroy_decompress(&cinfo);
        return JPEGProblem::Unreadable;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = MaxDecoderWorkingBytes;

    // Step 2: read the header with its EXIF block; refuse an oversized
    // picture before anything is allocated
    jpeg_stdio_src(&cinfo, file);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    if (size_t(cinfo.image_width) * size_t(cinfo.image_height) * 3 > maxBytes) {
        std::snprintf(jerr.message, sizeof jerr.message, "too large to decode: %u by %u pixels", cinfo.image_width,
                      cinfo.image_height);
        jpeg_destroy_decompress(&cinfo);
        return JPEGProblem::Unreadable;
    }

    // Step 3: start decompression with the library's defaults
    jpeg_start_decompress(&cinfo);

    // Step 4: the sink takes the size or refuses the picture
    const int width = int(cinfo.output_width);
    if (!rows.Begin(width, int(cinfo.output_height), ExifOrientation(cinfo.marker_list))) {
        std::snprintf(jerr.message, sizeof jerr.message, "not enough memory for its %u by %u pixels",
                      cinfo.output_width, cinfo.output_height);
        jpeg_destroy_decompress(&cinfo);
        return JPEGProblem::Unreadable;
    }

    // Step 5: read the scanlines; RGB goes straight into the rows
    const int components = cinfo.output_components;
    // Released with the decompressor, also when an error jumps out.
    JSAMPARRAY buffer = components == 3
                            ? nullptr
                            : (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                                         JDIMENSION(components) * cinfo.output_width, 1);
    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = int(cinfo.output_scanline);
        JSAMPROW row = rows.Row(y);
        if (buffer) {
            jpeg_read_scanlines(&cinfo, buffer, 1);
            ToRGB(buffer[0], components, row, width);
        } else {
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        rows.RowDone(y);
    }

    // Step 6: finish
    jpeg_finish_decompress(&cinfo);
    const bool clean = jerr.pub.num_warnings == 0;
    jpeg_destroy_decompress(&cinfo);
    return clean ? JPEGProblem::None : JPEGProblem::Damaged;
}

// The orientation of an open file, from its header; as stored after any
// error. Kept apart for the same reason as DecodeJPEGFile.
int ReadOrientation(FILE *file)
{
    jpeg_decompress_struct cinfo;
    ErrorManager jerr;

    cinfo.err = RecoveringErrors(jerr);
    jerr.pub.output_message = KeepMessage;
    if (setjmp(jerr.setjmpBuffer)) {
        jpeg_destroy_decompress(&cinfo);
        return OrientationAsStored;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    const int orientation = ExifOrientation(cinfo.marker_list);
    jpeg_destroy_decompress(&cinfo);
    return orientation;
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

// One compressor with its error manager, for EncodeJPEG and JPEGRowEncoder.
// Each step sets its own recovery point, so a library error in any of them
// (a failed write among them) comes back as false, with the compressor
// destroyed and the library's words in jerr.message. The steps are kept
// apart from their callers so that no function that calls setjmp has locals
// with destructors.
struct Compressor {
    jpeg_compress_struct cinfo;
    ErrorManager jerr;
    bool live = false;   // created and not destroyed yet
};

// Baseline RGB at the given quality into an open file, with the library's
// defaults otherwise.
bool StartCompressor(Compressor &c, FILE *file, int width, int height, int quality)
{
    // Step 1: error handling and compressor
    c.cinfo.err = RecoveringErrors(c.jerr);
    if (setjmp(c.jerr.setjmpBuffer)) {
        jpeg_destroy_compress(&c.cinfo);
        c.live = false;
        return false;
    }
    jpeg_create_compress(&c.cinfo);
    c.live = true;
    jpeg_stdio_dest(&c.cinfo, file);

    // Step 2: describe the picture and set the quality
    c.cinfo.image_width = JDIMENSION(width);
    c.cinfo.image_height = JDIMENSION(height);
    c.cinfo.input_components = 3;
    c.cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c.cinfo);
    jpeg_set_quality(&c.cinfo, quality, TRUE);

    // Step 3: start compressing; the headers wait in the library's buffer
    jpeg_start_compress(&c.cinfo, TRUE);
    return true;
}

// Step 4: rows of the caller's own raster, stride bytes apart, telling rowDone
// after each one how many rows the library has taken.
bool WriteScanlines(Compressor &c, const unsigned char *rgb, int rows, size_t stride,
                    const std::function<void(int)> &rowDone)
{
    if (setjmp(c.jerr.setjmpBuffer)) {
        jpeg_destroy_compress(&c.cinfo);
        c.live = false;
        return false;
    }
    for (int y = 0; y < rows; ++y) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + size_t(y) * stride);
        jpeg_write_scanlines(&c.cinfo, &row, 1);
        if (rowDone)
            rowDone(int(c.cinfo.next_scanline));
    }
    return true;
}

// Step 5: finish; this flushes the library's buffer and checks the stream.
bool FinishCompressor(Compressor &c)
{
    if (setjmp(c.jerr.setjmpBuffer)) {
        jpeg_destroy_compress(&c.cinfo);
        c.live = false;
        return false;
    }
    jpeg_finish_compress(&c.cinfo);
    jpeg_destroy_compress(&c.cinfo);
    c.live = false;
    return true;
}

bool IsRegularFile(FILE *file)
{
    struct stat info;
    return fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
}

}   // namespace

void SetJPEGReporter(JPEGReporter newReporter)
{
    reporter.store(newReporter ? newReporter : PrintProblem);
}

bool DecodeJPEG(const QString &filename, RowSink &sink, JPEGProblem *problem, size_t maxBytes)
{
    JPEGProblem found;
    const QByteArray name = QFile::encodeName(filename);
    FILE *file = std::fopen(name.constData(), "rb");
    if (!file) {
        found.kind = JPEGProblem::CannotOpen;
        found.message = "cannot be opened: " + qt_error_string(errno);
    } else {
        UprightRows rows(sink);
        ErrorManager jerr;
        found.kind = DecodeJPEGFile(file, rows, maxBytes, jerr);
        std::fclose(file);
        if (!rows.End()) {
            found.kind = JPEGProblem::Unreadable;
            std::snprintf(jerr.message, sizeof jerr.message, "not enough memory to turn it upright");
        }
        found.message = QString::fromLocal8Bit(jerr.message);
    }
    if (found.kind != JPEGProblem::None)
        reporter.load()(filename, found);
    if (problem)
        *problem = found;
    return found.kind == JPEGProblem::None;
}

bool ReadJPEG(const QString &filename, Image &image)
{
    ImageRows rows(image);
    return DecodeJPEG(filename, rows);
}

bool JPEGNeedsTurning(const QString &filename)
{
    FILE *file = std::fopen(QFile::encodeName(filename).constData(), "rb");
    if (!file)
        return false;
    const int orientation = ReadOrientation(file);
    std::fclose(file);
    return orientation != OrientationAsStored;
}

bool EncodeJPEG(FILE *file, const Image &image, int quality, const std::function<void(int)> &rowDone, QString *message)
{
    if (!image.data || image.width < 1 || image.height < 1)
        return false;
    Compressor compressor;
    const bool encoded = StartCompressor(compressor, file, image.width, image.height, quality)
                         && WriteScanlines(compressor, image.data, image.height, size_t(image.width) * 3, rowDone)
                         && FinishCompressor(compressor);
    if (!encoded && message)
        *message = QString::fromLocal8Bit(compressor.jerr.message);
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

struct JPEGRowEncoder::File {
    Compressor compressor;
    FILE *stream = nullptr;
    QByteArray name;
    bool removable = false;   // a regular file this encoder created or truncated
};

JPEGRowEncoder::JPEGRowEncoder() = default;

JPEGRowEncoder::~JPEGRowEncoder()
{
    if (file)
        Abandon();
}

bool JPEGRowEncoder::Open(const QString &filename, int width, int height, int quality)
{
    if (file)
        Abandon();
    error.clear();
    if (width < 1 || height < 1) {
        error = "the picture is empty";
        return false;
    }
    file = std::make_unique<File>();
    file->name = QFile::encodeName(filename);
    file->stream = std::fopen(file->name.constData(), "wb");
    if (!file->stream) {
        error = qt_error_string(errno);
        file.reset();
        return false;
    }
    file->removable = IsRegularFile(file->stream);
    // The library buffers what it writes; a second buffer a file would only
    // add to the memory of the many files a pyramid keeps open.
    std::setvbuf(file->stream, nullptr, _IONBF, 0);
    if (!StartCompressor(file->compressor, file->stream, width, height, quality)) {
        Fail(QString::fromLocal8Bit(file->compressor.jerr.message));
        return false;
    }
    return true;
}

bool JPEGRowEncoder::Write(const unsigned char *rgb, int rows, size_t stride)
{
    if (!file)
        return false;
    if (!WriteScanlines(file->compressor, rgb, rows, stride, {})) {
        Fail(QString::fromLocal8Bit(file->compressor.jerr.message));
        return false;
    }
    return true;
}

bool JPEGRowEncoder::Finish()
{
    if (!file)
        return false;
    if (!FinishCompressor(file->compressor)) {
        Fail(QString::fromLocal8Bit(file->compressor.jerr.message));
        return false;
    }
    if (std::fflush(file->stream) != 0 || std::ferror(file->stream)) {
        Fail(qt_error_string(errno));
        return false;
    }
    FILE *stream = std::exchange(file->stream, nullptr);
    if (std::fclose(stream) != 0) {
        Fail(qt_error_string(errno));
        return false;
    }
    file.reset();
    return true;
}

QString JPEGRowEncoder::ErrorMessage() const
{
    return error;
}

void JPEGRowEncoder::Fail(const QString &reason)
{
    error = reason;
    Abandon();
}

void JPEGRowEncoder::Abandon()
{
    if (file->compressor.live)
        jpeg_destroy_compress(&file->compressor.cinfo);
    if (file->stream)
        std::fclose(file->stream);
    if (file->removable)
        std::remove(file->name.constData());
    file.reset();
}
