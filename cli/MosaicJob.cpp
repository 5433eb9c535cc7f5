#include "cli/MosaicJob.h"

#include "cli/CliOptions.h"
#include "cli/ProgressReport.h"
#include "engine/Arrangement.h"
#include "engine/ImagePosterParameters.h"
#include "engine/LikenessReport.h"
#include "engine/MatchData.h"
#include "engine/MosaicLikeness.h"
#include "engine/Notice.h"
#include "engine/PosterGenerator.h"
#include "engine/PyramidWriterAgent.h"
#include "engine/ZoomablePage.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>
#include <iterator>

namespace {

const char *const StageNames[] = {"matching", "assembling", "saving"};

// Pictures the update could not use that are named without --verbose.
constexpr int NamedUnusablePictures = 3;

// Keeps the bar's elapsed time moving while a stage reports nothing.
constexpr int RefreshIntervalMs = 500;

ProgressReport *messageReport = nullptr;

// The engine's timing lines are for developers; warnings reach the user
// without tearing a progress bar apart.
void ForwardQtMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg && type != QtInfoMsg && messageReport)
        messageReport->Error(text);
}

// Routes the engine's notices and Qt's warnings through the report while a
// mosaic is being made. The JPEG readers' reports are left unprinted: the
// update names the pictures it could not use, and a source picture that
// cannot be read is an error of its own.
class MessageRouting {
public:
    explicit MessageRouting(ProgressReport &report)
    {
        messageReport = &report;
        previousHandler = qInstallMessageHandler(ForwardQtMessage);
        SetNoticeHandler([&report](const QString &title, const QString &text) { report.Error(title + ": " + text); });
        SetJPEGReporter([](const QString &, const JPEGProblem &) {});
    }
    ~MessageRouting()
    {
        SetJPEGReporter(nullptr);
        SetNoticeHandler(nullptr);
        qInstallMessageHandler(previousHandler);
        messageReport = nullptr;
    }
    MessageRouting(const MessageRouting &) = delete;
    MessageRouting &operator=(const MessageRouting &) = delete;

private:
    QtMessageHandler previousHandler;
};

// The database keys pictures by clean absolute paths and compares excluded
// folders with such paths, so every folder given is put in that form.
QString AbsolutePath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

QStringList AbsolutePaths(const QStringList &paths)
{
    QStringList result;
    for (const QString &path : paths)
        result.append(AbsolutePath(path));
    result.removeDuplicates();
    return result;
}

// Why the source picture cannot be used; empty when it was decoded into params.
QString LoadSource(const QString &filename, ImagePosterParameters &params)
{
    const QFileInfo info(filename);
    if (!info.exists())
        return QString("the source picture %1 does not exist").arg(filename);
    if (info.isDir())
        return QString("the source picture %1 is a folder").arg(filename);
    if (!info.isReadable())
        return QString("the source picture %1 cannot be read").arg(filename);
    auto *picture = new Image;
    if (!ReadJPEG(info.absoluteFilePath(), *picture)) {
        delete picture;
        return QString("the source picture %1 is not a JPEG picture that can be read").arg(filename);
    }
    params.sourceFilename = info.absoluteFilePath();
    params.sourceImage = picture;
    return {};
}

// Chooses the folders as the wizard would: those given, else the stored or
// default ones (already in params). Returns why there is nothing to scan, or
// an empty text.
QString ChooseDirectories(const CliOptions &options, ImagePosterParameters &params, ProgressReport &report)
{
    if (!options.useDirectories.isEmpty()) {
        params.useDirectories = AbsolutePaths(options.useDirectories);
        params.notUseDirectories = AbsolutePaths(options.excludeDirectories);
        for (const QString &dir : std::as_const(params.useDirectories)) {
            if (!QFileInfo(dir).isDir())
                return QString("no folder to use: %1 is not a folder").arg(dir);
        }
        return {};
    }

    params.notUseDirectories = AbsolutePaths(params.notUseDirectories + options.excludeDirectories);
    QStringList present;
    for (const QString &dir : std::as_const(params.useDirectories)) {
        if (QFileInfo(dir).isDir())
            present.append(dir);
        else
            report.Note(QString("The folder %1 is gone; its pictures are left out.").arg(dir));
    }
    if (present.isEmpty()) {
        return QString("no folder to use: %1; name one with --use DIR")
            .arg(params.useDirectories.isEmpty() ? QString("none is stored")
                                                 : params.useDirectories.join(", ") + " not found");
    }
    return {};
}

// One line for the pictures the update could not use, naming the first few;
// with verbose a line for each, with the reason.
void ReportUnusablePictures(const QList<ImageDB::UnusablePicture> &pictures, bool verbose, ProgressReport &report)
{
    if (pictures.isEmpty())
        return;
    const QString count =
        pictures.size() == 1 ? QString("1 picture is") : QString("%1 pictures are").arg(pictures.size());
    if (verbose) {
        report.Note(count + " damaged or unreadable and left out:");
        for (const ImageDB::UnusablePicture &picture : pictures)
            report.Note(QString("  %1: %2").arg(picture.filename, picture.reason));
        return;
    }
    QStringList names;
    for (const ImageDB::UnusablePicture &picture :
         pictures.first(qMin<qsizetype>(pictures.size(), NamedUnusablePictures)))
        names.append(picture.filename);
    if (pictures.size() > names.size())
        names.append(QString("%1 more").arg(pictures.size() - names.size()));
    report.Note(QString("%1 damaged or unreadable and left out: %2 (--verbose lists the reasons).")
                    .arg(count, names.join(", ")));
}

// Writes what was asked for beside the saved mosaic: the likeness report and
// the zoomable page, whose pyramid the generator wrote. Every failure is
// reported; false when there was one.
bool WriteExtras(const CliOptions &options, const ImagePosterParameters &params, const PosterGenerator &generator,
                 ProgressReport &report)
{
    if (options.reportDirectory.isEmpty() && options.zoomableDirectory.isEmpty())
        return true;
    const MosaicLikeness likeness = MosaicLikeness::Measure(generator.Matches(), *params.sourceImage, params.imageDB);
    bool ok = true;
    QString error;
    if (!options.reportDirectory.isEmpty()) {
        const QString dir = AbsolutePath(options.reportDirectory);
        if (WriteLikenessReport(dir, likeness, error)) {
            report.Note(LikenessSummary(likeness));
        } else {
            report.Error(QString("cannot write the likeness report into %1: %2").arg(dir, error));
            ok = false;
        }
    }
    if (!options.zoomableDirectory.isEmpty()) {
        const QString dir = AbsolutePath(options.zoomableDirectory);
        const PyramidWriterAgent &pyramid = generator.PyramidWriter();
        if (!pyramid.Succeeded())
            error = pyramid.ErrorMessage();
        if (!pyramid.Succeeded() || !WriteZoomablePage(dir, pyramid.Width(), pyramid.Height(), likeness, error)) {
            report.Error(QString("cannot write the zoomable view into %1: %2").arg(dir, error));
            ok = false;
        }
    }
    return ok;
}

// Runs the event loop until done is set by one of the connected handlers;
// returns at once when it already is.
void WaitUntil(QEventLoop &loop, const bool &done)
{
    if (!done)
        loop.exec();
}

}   // namespace

int MakeMosaic(const CliOptions &options, ProgressReport &report, QString &savedPath)
{
    MessageRouting routing(report);
    QElapsedTimer total;
    total.start();

    ImagePosterParameters params;
    if (options.threads > 0)
        params.numThreads = options.threads;
    if (!options.imageDBFilename.isEmpty())
        params.imageDBFilename = AbsolutePath(options.imageDBFilename);
    if (!options.outputFilename.isEmpty())
        params.outputFilename = AbsolutePath(options.outputFilename);

    QString problem = LoadSource(options.sourceFilename, params);
    if (!problem.isEmpty()) {
        report.Error(problem);
        return ExitBadInput;
    }
    ImageDB &imageDB = params.imageDB;
    if (imageDB.Read(params.imageDBFilename)) {
        params.imageStrategy = imageDB.strategy;
        params.useDirectories = imageDB.directories;
        params.notUseDirectories = imageDB.excludedDirectories;
    } else if (QFileInfo::exists(params.imageDBFilename)) {
        report.Note(QString("The image database file %1 cannot be read; every picture is examined afresh.")
                        .arg(params.imageDBFilename));
    }
    if (options.strategy >= 0)
        params.imageStrategy = options.strategy;
    problem = ChooseDirectories(options, params, report);
    if (!problem.isEmpty()) {
        report.Error(problem);
        return ExitBadInput;
    }
    for (const QString &dir : ImageDB::ExcludedUseDirectories(params.useDirectories, params.notUseDirectories))
        report.Note(QString("The folder %1 is excluded as well as used; exclusion wins, so it is left out.").arg(dir));
    // Found out before the scan, so a mistyped path does not cost a whole run.
    problem = OutputFileProblem(params.outputFilename);
    if (!problem.isEmpty()) {
        report.Error(options.outputFilename.isEmpty() ? problem + "; name another file with --output FILE" : problem);
        return ExitFailed;
    }

    QEventLoop loop;
    QTimer refresh;
    QObject::connect(&refresh, &QTimer::timeout, &loop, [&report] { report.Refresh(); });
    refresh.start(RefreshIntervalMs);

    bool updated = false;
    QObject::connect(&imageDB, &ImageDB::progress, &loop,
                     [&report](int percent, const QString &) { report.SetPercent(percent); });
    QObject::connect(&imageDB, &ImageDB::complete, &loop, [&] {
        updated = true;
        loop.quit();
    });
    report.BeginStage("scanning");
    imageDB.Update(params.useDirectories, params.notUseDirectories, ImageDB::SourceImageStrategy(params.imageStrategy),
                   params.numThreads);
    WaitUntil(loop, updated);
    report.EndStage();
    ReportUnusablePictures(imageDB.unusablePictures, options.verbose, report);
    if (!imageDB.Write(params.imageDBFilename)) {
        report.Error(QString("cannot save the image database file %1; the next run examines every picture again")
                         .arg(params.imageDBFilename));
    }

    const int usable = imageDB.GetNumUsableImages();
    if (usable == 0) {
        report.Error(QString("no usable pictures in %1").arg(params.useDirectories.join(", ")));
        return ExitBadInput;
    }

    // The options page's rules. Only usable pictures can fill a tile, so they
    // are what the repetitions are measured against.
    if (options.divisions > 0)
        params.divisions = options.divisions;
    if (options.repeats >= 0)
        params.repeats = options.repeats;
    if (options.blend >= 0)
        params.blend = options.blend;
    if (options.spacing >= 0)
        params.spacing = options.spacing;
    if (options.optimal >= 0)
        params.optimalArrangement = options.optimal == 1;
    params.targetResolution =
        options.targetResolution > 0 ? options.targetResolution : ResolutionForDivisions(params.divisions);
    const int askedRepeats = params.repeats;
    const qint64 tiles = qint64(params.divisions) * params.divisions;
    if (RaiseRepeatsToFill(params.divisions, usable, params.repeats)) {
        report.Note(QString("Tile repetitions raised from %1 to %2 so that %3 pictures can fill %4 tiles.")
                        .arg(askedRepeats)
                        .arg(params.repeats)
                        .arg(usable)
                        .arg(tiles));
    }
    const QString unfilled = UnfilledTilesNote(params.divisions, usable, params.repeats, params.spacing);
    if (!unfilled.isEmpty()) {
        report.Note(QString("%1 --tiles %2 or fewer fills them all.")
                        .arg(unfilled)
                        .arg(MaxFilledDivisions(usable, params.repeats, params.spacing)));
    }

    PosterGenerator generator(&params);
    if (!options.zoomableDirectory.isEmpty())
        generator.SetPyramidFolder(AbsolutePath(options.zoomableDirectory));
    bool started = false, finished = false;
    QString failure;
    QObject::connect(&generator, &PosterGenerator::stage, &loop, [&](int stageNumber) {
        started = true;
        if (stageNumber >= 0 && stageNumber < int(std::size(StageNames)))
            report.BeginStage(StageNames[stageNumber]);
    });
    QObject::connect(&generator, &PosterGenerator::progress, &loop,
                     [&report](int percent) { report.SetPercent(percent); });
    QObject::connect(&generator, &PosterGenerator::complete, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QObject::connect(&generator, &PosterGenerator::failed, &loop, [&](const QString &message) {
        failure = message.isEmpty() ? QString("cannot save the mosaic as %1").arg(params.outputFilename) : message;
        finished = true;
        loop.quit();
    });
    generator.Generate(nullptr);
    if (!started) {
        report.Error("cannot set up the mosaic");
        return ExitFailed;
    }
    WaitUntil(loop, finished);
    if (!failure.isEmpty()) {
        report.Error(failure);
        return ExitFailed;
    }
    report.EndStage();
    if (const Arrangement *arrangement = generator.Matches().arrangement.get())
        report.Note(QString("Optimal arrangement: weighted difference %1, at most %2% above the least possible (%3).")
                        .arg(arrangement->Sum())
                        .arg(100.0 * double(arrangement->Sum() - arrangement->Bound())
                                 / double(std::max<qint64>(arrangement->Bound(), 1)),
                             0, 'f', 2)
                        .arg(arrangement->Bound()));
    const bool extrasWritten = WriteExtras(options, params, generator, report);
    report.Note(QString("Mosaic saved as %1 in %2.")
                    .arg(params.outputFilename, ProgressReport::FormatElapsed(total.elapsed())));
    savedPath = params.outputFilename;
    return extrasWritten ? ExitSuccess : ExitFailed;
}
