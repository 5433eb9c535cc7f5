#pragma once

#include <QString>
#include <cstddef>
#include <cstdio>
#include <functional>

class Image;
class RowSink;

// A picture whose decoded RGB buffer would be larger than this is refused
// right after its header is read (about 358 megapixels).
constexpr size_t MaxDecodedImageBytes = size_t(1) << 30;

// True when the file was opened and decoded without a single library warning.
// A file that cannot be opened, is no JPEG or is refused for its size leaves
// the image as it was; after a later fatal error the image has the picture's
// size and the rows decoded so far. A picture with warnings (data cut off) is
// decoded in full and returns false. File names go through
// QFile::encodeName, so any name the file system holds can be read.
bool ReadJPEG(const QString &filename, Image &image);

// What ReadJPEG does, with the rows going to the sink as they are decoded
// instead of into an image; ReadJPEG is this with a sink that fills the image.
// False also when the sink refuses the picture.
bool DecodeJPEG(const QString &filename, RowSink &sink);

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
