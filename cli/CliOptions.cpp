#include "cli/CliOptions.h"

#include "engine/ImagePosterParameters.h"

#include <QCommandLineParser>

namespace {

struct NumberOption {
    const char *name;
    const char *description;
    int minimum;
    int maximum;
    int CliOptions::*field;
};

// The ranges are those of the wizard's options page; the thread limit keeps
// a typo from starting thousands of threads.
const NumberOption NumberOptions[] = {
    {"tiles", "Number of tiles across and down, 10 to 1000. Default: 60.", MinDivisions, MaxDivisions,
     &CliOptions::divisions},
    {"resolution", "Pixels along the longer side of the mosaic, 500 to 30000. Default: 100 per tile.", MinResolution,
     MaxResolution, &CliOptions::targetResolution},
    {"repeats",
     "How often one picture may be used, 0 to 99; raised when the collection is too small to fill "
     "every tile. Default: 5.",
     MinRepeats, MaxRepeats, &CliOptions::repeats},
    {"blend", "Tint the tiles towards the source picture's colours by N percent, 0 to 50. Default: 20.", MinBlend,
     MaxBlend, &CliOptions::blend},
    {"threads", "Worker threads, 1 to 256. Default: one per processor core.", 1, 256, &CliOptions::threads},
    {"spacing",
     "Keep two uses of one picture more than N tiles apart, counting the larger of the column and row "
     "distances (1 keeps a picture out of the eight tiles around it), 0 to 20. Default: 0.",
     MinSpacing, MaxSpacing, &CliOptions::spacing},
};

struct StrategyName {
    const char *name;
    int strategy;
};

const StrategyName StrategyNames[] = {
    {"none", ImageDB::StrategyNone},
    {"fast", ImageDB::StrategyFast},
    {"fastest", ImageDB::StrategyFastest},
};

bool ReadNumber(const QCommandLineParser &parser, const NumberOption &option, CliOptions &options, QString &error)
{
    if (!parser.isSet(option.name))
        return true;
    const QString text = parser.value(option.name);
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < option.minimum || value > option.maximum) {
        error = QString("--%1 takes a whole number from %2 to %3, not '%4'")
                    .arg(option.name)
                    .arg(option.minimum)
                    .arg(option.maximum)
                    .arg(text);
        return false;
    }
    options.*option.field = value;
    return true;
}

bool ReadStrategy(const QCommandLineParser &parser, CliOptions &options, QString &error)
{
    if (!parser.isSet("strategy"))
        return true;
    const QString text = parser.value("strategy");
    for (const StrategyName &entry : StrategyNames) {
        if (text == entry.name) {
            options.strategy = entry.strategy;
            return true;
        }
    }
    error = QString("--strategy takes none, fast or fastest, not '%1'").arg(text);
    return false;
}

bool ReadArrangement(const QCommandLineParser &parser, CliOptions &options, QString &error)
{
    if (!parser.isSet("arrangement"))
        return true;
    const QString text = parser.value("arrangement");
    if (text != "ordered" && text != "optimal") {
        error = QString("--arrangement takes ordered or optimal, not '%1'").arg(text);
        return false;
    }
    options.optimal = text == "optimal" ? 1 : 0;
    return true;
}

// Every value of a path option must name something.
bool ReadPaths(const QCommandLineParser &parser, const QString &name, QStringList &paths, QString &error)
{
    paths = parser.values(name);
    if (paths.contains(QString())) {
        error = QString("--%1 needs a path, not an empty text").arg(name);
        return false;
    }
    return true;
}

bool ReadPath(const QCommandLineParser &parser, const QString &name, QString &path, QString &error)
{
    QStringList paths;
    if (!ReadPaths(parser, name, paths, error))
        return false;
    if (!paths.isEmpty())
        path = paths.last();
    return true;
}

}   // namespace

bool ParseCliOptions(const QStringList &arguments, CliOptions &options, QString &error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Makes a photo mosaic of SOURCE from the pictures of your collection, the way the Kestrelvanepatchery "
        "wizard does, with the same image database and tile cache, and prints where the mosaic was saved.");
    parser.addPositionalArgument("SOURCE", "The picture (JPEG) to turn into a mosaic.");
    parser.addOptions({
        {"use",
         "Use the pictures in DIR and its subfolders (repeatable). Default: the folders stored in the "
         "image database file, else ~/Pictures.",
         "DIR"},
        {"exclude",
         "Leave out DIR and its subfolders (repeatable). Without --use, adds to the folders the "
         "image database file leaves out.",
         "DIR"},
        {"strategy",
         "How reduced copies of the pictures are kept: none, fast (files in the tile cache) or "
         "fastest (in the database file and in memory). Default: the stored one, else fast.",
         "NAME"},
        {"arrangement",
         "How tiles get their pictures: ordered (one after the other, the most detailed tiles first) or "
         "optimal (all together, for the least total difference from the source; slower). Default: ordered.",
         "NAME"},
        {"output", "Save the mosaic as FILE. Default: ~/Desktop/photomosaic.jpg.", "FILE"},
        {"imagedb", "The image database file. Default: ~/imagedb.", "FILE"},
        {"zoomable",
         "Also write a zoomable view of the mosaic into DIR: open DIR/index.html in a browser to zoom "
         "from the whole mosaic down to its pictures and see which picture fills each tile.",
         "DIR"},
        {"report",
         "Also write a likeness report into DIR: tiles.csv, pictures.csv and likeness.png, a map of how "
         "closely each tile matches its picture; a summary goes to standard error.",
         "DIR"},
        {"quiet", "Show no progress and no notes, only errors."},
        {"verbose", "List every picture the update could not use, with the reason, instead of the first few."},
        {"make-sample",
         "Write a sample collection into DIR/collection and a source picture DIR/source.jpg, "
         "then stop.",
         "DIR"},
        {{"h", "help"}, "Show this help and stop."},
        {{"v", "version"}, "Show the version and stop."},
    });
    for (const NumberOption &option : NumberOptions)
        parser.addOption({option.name, option.description, "N"});
    options.helpText = parser.helpText();

    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    if (parser.isSet("help")) {
        options.action = CliOptions::ShowHelp;
        return true;
    }
    if (parser.isSet("version")) {
        options.action = CliOptions::ShowVersion;
        return true;
    }

    options.quiet = parser.isSet("quiet");
    options.verbose = parser.isSet("verbose");
    const QStringList positional = parser.positionalArguments();
    if (parser.isSet("make-sample")) {
        options.action = CliOptions::MakeSampleCollection;
        if (!positional.isEmpty()) {
            error = "--make-sample takes no source picture";
            return false;
        }
        return ReadPath(parser, "make-sample", options.sampleDirectory, error);
    }

    options.action = CliOptions::MakeMosaic;
    if (positional.isEmpty()) {
        error = "no source picture given (see --help)";
        return false;
    }
    if (positional.size() > 1) {
        error = QString("one source picture is needed, not %1: %2").arg(positional.size()).arg(positional.join(' '));
        return false;
    }
    options.sourceFilename = positional.first();
    for (const NumberOption &option : NumberOptions)
        if (!ReadNumber(parser, option, options, error))
            return false;
    return ReadStrategy(parser, options, error) && ReadArrangement(parser, options, error)
           && ReadPaths(parser, "use", options.useDirectories, error)
           && ReadPaths(parser, "exclude", options.excludeDirectories, error)
           && ReadPath(parser, "output", options.outputFilename, error)
           && ReadPath(parser, "imagedb", options.imageDBFilename, error)
           && ReadPath(parser, "zoomable", options.zoomableDirectory, error)
           && ReadPath(parser, "report", options.reportDirectory, error);
}
