#pragma once

#include <QString>

struct MosaicLikeness;

// The likeness report of a finished mosaic, written into dir (made when
// missing): tiles.csv (column, row, picture, rotation, difference),
// pictures.csv (every usable picture and its uses, the unused ones included)
// and likeness.png, a heat map with one cell per tile coloured by its
// difference, with a legend. It shows where the collection lacks colours.
// False with a reason that names what failed.
bool WriteLikenessReport(const QString &dir, const MosaicLikeness &likeness, QString &error);

// One line: the mean and worst difference, how many pictures were never
// used, and the most used picture.
QString LikenessSummary(const MosaicLikeness &likeness);
