#pragma once

#include <QString>
#include <cstddef>

class Image;

// A picture whose decoded RGB buffer would be larger than this is refused
// right after its header is read (about 358 megapixels).
constexpr size_t MaxDecodedImageBytes = size_t(1) << 30;

// True when the file was opened and decoded without a single library warning.
bool ReadJPEG(const QString &filename, Image &image);

// Baseline RGB JPEG at the given quality. False when the file cannot be
// opened or any write fails; a partly written file is removed.
bool WriteJPEG(const QString &filename, const Image &image, int quality);
