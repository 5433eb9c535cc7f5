#pragma once

#include <QString>

// Number of pictures MakeSample writes into the collection.
constexpr int SamplePictureCount = 300;

// Size of the sample's source picture.
constexpr int SampleSourceWidth = 4000, SampleSourceHeight = 3000;

// Writes a small collection for a first run into dir/collection/ (photo-like
// pictures in landscape, portrait and square shapes, sorted into a few
// subfolders) and a 4000 by 3000 source picture as dir/source.jpg. Every
// byte comes from a fixed seed, so two runs of the same build write the same
// files. False with a reason in error when a folder or file cannot be
// written.
bool MakeSample(const QString &dir, QString &error);
