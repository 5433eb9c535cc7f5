#pragma once

#include <QString>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>

class Image;
class RowSink;

// Why a picture was not read cleanly, in the system's or the JPEG library's
// words (or ours, for a picture refused for its size or for want of memory).
struct JPEGProblem {
    enum Kind {
        None,
        CannotOpen,
        Damaged,      // decoded in full, with the library's warnings (data cut off, say)
        Unreadable,   // not a JPEG, a fatal library error, or refused
    };
    Kind kind = None;
    QString message;
};

// Receives every problem the readers meet, with the picture's name, on
// whatever thread they run. The default prints "Error opening jpeg file
// %s\n!" on standard output for a file that cannot be opened, as the wizard
// always has, and "<file>: <message>" on standard error for the others. Null
// restores the default.
using JPEGReporter = void (*)(const QString &filename, const JPEGProblem &problem);
void SetJPEGReporter(JPEGReporter reporter);

// A picture whose decoded RGB buffer would be larger than this is refused
// right after its header is read (about 358 megapixels).
constexpr size_t MaxDecodedImageBytes = size_t(1) << 30;

// True when the file was opened and decoded without a single library warning.
// A file that cannot be opened, is no JPEG or is refused for its size leaves
// the image as it was; after a later fatal error the image has the picture's
// size and the rows decoded so far. A picture with warnings (data cut off) is
// decoded in full and returns false. File names go through
// QFile::encodeName, so any name the file system holds can be read. A picture
// whose EXIF orientation asks for a turn or a flip comes out upright: its
// rows then reach the image (or DecodeJPEG's sink) only once the whole
// picture is decoded. A missing, damaged or absurd tag means "as stored".
bool ReadJPEG(const QString &filename, Image &image);

// What ReadJPEG does, with the rows going to the sink as they are decoded
// instead of into an image; ReadJPEG is this with a sink that fills the image.
// False also when the sink refuses the picture. What went wrong is reported
// and, when problem is given, also left there. A sink that keeps only a few
// rows may take pictures larger than MaxDecodedImageBytes, up to maxBytes.
bool DecodeJPEG(const QString &filename, RowSink &sink, JPEGProblem *problem = nullptr,
                size_t maxBytes = MaxDecodedImageBytes);

// True when the picture's EXIF orientation asks for a turn or a flip; reads
// the file's header only. False for a file that cannot be read, unreported.
bool JPEGNeedsTurning(const QString &filename);

// Baseline RGB JPEG at the given quality into an open stream, row by row
// straight from the image; rowDone, when given, learns after each row how
// many rows the library has taken. False when the image has no pixels or
// after any library error (a failed write among them), with the library's
// words in message when asked for.
bool EncodeJPEG(FILE *file, const Image &image, int quality, const std::function<void(int rows)> &rowDone = {},
                QString *message = nullptr);

// EncodeJPEG into a file that replaces filename only when complete (see
// ReplacingFile; a device such as /dev/full is written in place). False when
// the image has no pixels, the file cannot be created or any write, flush,
// sync or close fails; an existing file is then left as it was.
bool WriteJPEG(const QString &filename, const Image &image, int quality);

// Writes one JPEG file, baseline RGB at the given quality, from rows that
// come a few at a time, holding only the library's buffers of a few rows: for
// the many tiles of a pyramid, which are written in place and not synced (its
// index file is written last). A regular file left unfinished, after a
// failure or by an encoder that goes before Finish, is removed. Prints
// nothing; false with the reason in ErrorMessage(), after which the file is
// gone and only Open works again. Opening a file abandons an unfinished one.
class JPEGRowEncoder {
public:
    JPEGRowEncoder();
    ~JPEGRowEncoder();

    bool Open(const QString &filename, int width, int height, int quality);
    // rows rows of the picture's width, starting at rgb, stride bytes apart.
    bool Write(const unsigned char *rgb, int rows, size_t stride);
    // After the picture's last row.
    bool Finish();
    QString ErrorMessage() const;

private:
    struct File;

    void Fail(const QString &reason);
    void Abandon();

    std::unique_ptr<File> file;   // while open
    QString error;
};
