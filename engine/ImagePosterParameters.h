#pragma once

#include "imagedb/ImageDB.h"

#include <QString>
#include <QStringList>

class Image;

// The run parameters every page, the engine and the workers share. Owned by
// the wizard (or the command-line tool) by value; everyone else holds a
// pointer into it and never copies it.
struct ImagePosterParameters {
    ImagePosterParameters();
    ~ImagePosterParameters();
    ImagePosterParameters(const ImagePosterParameters &) = delete;
    ImagePosterParameters &operator=(const ImagePosterParameters &) = delete;

    int numThreads;   // -1: QThread::idealThreadCount()
    ImageDB imageDB;
    QString imageDBFilename;
    QString sourceFilename;   // empty while no readable picture is chosen
    Image *sourceImage;       // owned; deleted by whoever replaces it
    int imageStrategy;        // an ImageDB::SourceImageStrategy
    QStringList useDirectories;
    QStringList notUseDirectories;
    int divisions;
    int repeats;
    int blend;              // percent
    int targetResolution;   // pixels along the longer side
    QString outputFilename;
    // Two uses of one picture lie more than spacing tiles apart, counting
    // the larger of the column and row distances; 0 lets them touch.
    int spacing;
    // Chooses all tiles' pictures together for the least weighted sum of
    // differences, instead of tile by tile in the matching order.
    bool optimalArrangement;
};

QString GetDesktopFolderPath();
QString GetPictureFolderPath();

// Reads "-imagedb <path>" and "-nt <count>" from what the application object
// left of the command line. Values not given keep what the caller passed in.
void ParseCommandLine(int argc, const char *const *argv, int &numThreads, QString &imageDBFilename);

// The options page's rules, shared with the command-line tool. The record is
// kept inside the ranges the options page's controls offer.
constexpr int MinDivisions = 10, MaxDivisions = 1000;
constexpr int MinResolution = 500, MaxResolution = 30000;
constexpr int MinRepeats = 0, MaxRepeats = 99;
constexpr int MinBlend = 0, MaxBlend = 50;
constexpr int MinSpacing = 0, MaxSpacing = 20;

// Raises repeats until divisions * divisions tiles fit into numImages * repeats
// uses, but not beyond MaxRepeats; true when it had to raise it. With no
// images nothing can fit, and repeats is left as it is.
bool RaiseRepeatsToFill(int divisions, int numImages, int &repeats);

// The resolution that follows the number of tiles until the user sets one.
int ResolutionForDivisions(int divisions);

// The most uses of one picture that a grid of divisions by divisions tiles
// has room for when uses lie more than spacing tiles apart: one in every
// block of spacing + 1 by spacing + 1 tiles.
int SpacedUses(int divisions, int spacing);

// The most tiles across (and down) that numImages pictures used at most
// repeats times each, and apart by spacing, can fill.
int MaxFilledDivisions(int numImages, int repeats, int spacing = 0);

// Both front ends' note when the pictures cannot fill every tile, without
// its last word of advice; empty when they can.
QString UnfilledTilesNote(int divisions, int numImages, int repeats, int spacing = 0);

// Why a mosaic cannot be saved as path, in the command-line tool's words;
// empty when saving can be tried. The folder must exist, and a file must be
// possible in it (one is made and removed again to find out).
QString OutputFileProblem(const QString &path);
