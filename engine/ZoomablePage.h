#pragma once

#include <QString>

struct MosaicLikeness;

// The page that shows a mosaic's Deep Zoom pyramid (written into dir by
// PyramidWriterAgent) with OpenSeadragon: index.html, the viewer and its
// licence in openseadragon/, and tiles.js, the map that tells on hover which
// picture fills a tile, how often it was used and how far it is from the
// tile. The page needs no network and works from a file as well as from a
// web server. width and height are the mosaic's. False with a reason that
// names what failed.
bool WriteZoomablePage(const QString &dir, int width, int height, const MosaicLikeness &likeness, QString &error);
