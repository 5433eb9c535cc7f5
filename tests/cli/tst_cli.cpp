#include "TestKit.h"
#include "cli/CliOptions.h"
#include "cli/MosaicJob.h"
#include "cli/ProgressReport.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSize>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <memory>

// One run of the command-line tool; exitCode is -1 when it crashed or hung.
struct CliResult {
    int exitCode = -1;
    QString out, err;
};

// A small mosaic of the sample; no --output when output is empty.
static QStringList RunArguments(const QString &output)
{
    QStringList arguments = {"~/sample/source.jpg", "--imagedb", "~/db/imagedb", "--tiles", "20",
                             "--resolution",        "500",       "--threads",    "2"};
    if (!output.isEmpty())
        arguments << "--output" << output;
    return arguments;
}

// Every file and folder below dir with its size and modification time.
static QStringList Listing(const QString &dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        entries.append(
            QString("%1 %2 %3").arg(info.filePath()).arg(info.size()).arg(info.lastModified().toMSecsSinceEpoch()));
    }
    entries.sort();
    return entries;
}

// The tool run as a process in a home directory of its own, on the sample
// collection it makes itself. The mosaic runs build on the database file and
// tile cache the runs before them left.
class TstCli : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void badInput_data();
    void badInput();
    void exitCodesAndOutput();
    void mosaicFromSample();
    void outputUnusable_data();
    void outputUnusable();
    void databaseReused();
    void failedSaveLeavesNoHalfFile();
    void zoomableViewAndReport_data();
    void zoomableViewAndReport();
    void collectionReports_data();
    void collectionReports();

private:
    QString Path(const QString &name) const { return home.filePath(name); }
    // "~" in the arguments stands for the home directory.
    std::unique_ptr<QProcess> Start(QStringList arguments) const;
    static CliResult Finish(QProcess &process);
    CliResult Run(const QStringList &arguments) const { return Finish(*Start(arguments)); }
    // The same work in this process: the tool's parse and run, with what it
    // says on standard error.
    CliResult RunHere(QStringList arguments) const;

    QTemporaryDir home;
};

std::unique_ptr<QProcess> TstCli::Start(QStringList arguments) const
{
    auto process = std::make_unique<QProcess>();   // with HOME set by initTestCase
    process->start(CLI_PATH, arguments.replaceInStrings("~", home.path()));
    return process;
}

CliResult TstCli::Finish(QProcess &process)
{
    CliResult result;
    if (process.waitForFinished(600000) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

CliResult TstCli::RunHere(QStringList arguments) const
{
    CliResult result;
    FILE *stream = std::tmpfile();
    QFile err;
    if (!stream || !err.open(stream, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return result;
    CliOptions options;
    QString error, path;
    {
        ProgressReport report(stream, ProgressReport::Silent);
        arguments.replaceInStrings("~", home.path()).prepend("kestrelvanepatchery-cli");
        const bool parsed = ParseCliOptions(arguments, options, error);
        if (!parsed)
            report.Error(error);
        result.exitCode = parsed ? MakeMosaic(options, report, path) : int(ExitBadInput);
    }
    std::fflush(stream);
    std::rewind(stream);
    result.out = path.isEmpty() ? QString() : path + "\n";
    result.err = QString::fromLocal8Bit(err.readAll());
    return result;
}

void TstCli::initTestCase()
{
    QVERIFY(home.isValid());
    qputenv("HOME", QFile::encodeName(home.path()));
    // Made twice at once to show that every run writes the same bytes.
    const auto first = Start({"--make-sample", "~/sample"});
    const auto second = Start({"--make-sample", "~/again", "--quiet"});
    const CliResult made = Finish(*first), again = Finish(*second);
    QCOMPARE(made.exitCode, 0);
    QCOMPARE(made.out, Path("sample") + "\n");
    QVERIFY(again.exitCode == 0 && again.err.isEmpty());
    // 100 pictures of each shape and a 4000 by 3000 source.
    QMap<int, int> shapes;   // -1 portrait, 0 square, 1 landscape
    QDirIterator it(Path("sample"), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        QVERIFY2(Contents(file) == Contents(Path("again") + file.mid(Path("sample").size())), qPrintable(file));
        Image picture;
        QVERIFY2(ReadJPEG(file, picture), qPrintable(file));
        if (file.endsWith("/source.jpg"))
            QCOMPARE(QSize(picture.width, picture.height), QSize(4000, 3000));
        else
            ++shapes[(picture.width > picture.height) - (picture.width < picture.height)];
    }
    QCOMPARE(shapes, (QMap<int, int>{{-1, 100}, {0, 100}, {1, 100}}));

    // Not a picture: as a source, and as the only picture of a collection;
    // and a file where a folder is needed.
    for (const char *folder : {"db", "out", "reports"})
        QVERIFY(QDir(home.path()).mkdir(folder));
    QVERIFY(Store(Path("extra/broken.jpg"), QByteArray(4096, 'x')) && Store(Path("file.txt"), {}));

    // A portrait photo stored lying on its side, as phones store it, and a
    // collection with two damaged pictures and a folder to leave out.
    Image stored = Blocks(3, 4);
    stored.RotateLeft();
    QVERIFY(WriteTaggedJPEG(Path("turned.jpg"), stored, Exif(6)));
    for (int i = 0; i < 4; ++i)
        QVERIFY(StorePicture(Path(QString("c/good%1.jpg").arg(i)), Blocks(i + 1, 2)));
    QVERIFY(StorePicture(Path("c/gone/kept.jpg"), Blocks(2, 2)) && StorePicture(Path("c/cut.jpg"), Blocks(8, 8)));
    QVERIFY(QFile::resize(Path("c/cut.jpg"), QFileInfo(Path("c/cut.jpg")).size() - 2));   // no end marker
    QVERIFY(Store(Path("c/text.jpg"), "not a picture"));
}

// One line on standard error, exit code 2, no mosaic. Every number option
// reads through one check; --tiles and --spacing stand for them.
void TstCli::badInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    const auto row = [](const char *name, const QStringList &arguments, const QString &message) {
        QTest::newRow(name) << arguments << message;
    };
    const QString src = "~/sample/source.jpg";
    row("unknown option", {src, "--frobnicate"}, "Unknown option 'frobnicate'.");
    row("tiles overflowing", {src, "--tiles=4294967306"},
        "--tiles takes a whole number from 10 to 1000, not '4294967306'");
    row("blend fraction", {src, "--blend", "2.5"}, "--blend takes a whole number from 0 to 50, not '2.5'");
    row("strategy unknown", {src, "--strategy", "slow"}, "--strategy takes none, fast or fastest, not 'slow'");
    row("spacing too far", {src, "--spacing", "21"}, "--spacing takes a whole number from 0 to 20, not '21'");
    row("arrangement unknown", {src, "--arrangement", "best"}, "--arrangement takes ordered or optimal, not 'best'");
    row("empty output", {src, "--output="}, "--output needs a path, not an empty text");
    row("no source", {"--tiles", "20"}, "no source picture given (see --help)");
    row("two sources", {src, src}, "one source picture is needed, not 2: ~/sample/source.jpg ~/sample/source.jpg");
    row("source missing", {"~/missing.jpg"}, "the source picture ~/missing.jpg does not exist");
    row("source is a folder", {"~"}, "the source picture ~ is a folder");
    row("source not a picture", {"~/extra/broken.jpg"},
        "the source picture ~/extra/broken.jpg is not a JPEG picture that can be read");
    row("folder to use is a file", {src, "--use", src}, "no folder to use: ~/sample/source.jpg is not a folder");
    row("no Pictures folder", {src}, "no folder to use: ~/Pictures not found; name one with --use DIR");
    row("empty collection", {src, "--use", "~/extra"}, "no usable pictures in ~/extra");
    row("sample with a source", {"--make-sample", "~/more", src}, "--make-sample takes no source picture");
}

void TstCli::badInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    // A database file per row, so no row finds what another one stored.
    const QString imageDB = Path(QString("imagedb-") + QTest::currentDataTag());
    const CliResult run = RunHere(QStringList{"--quiet", "--imagedb", imageDB, "--output", "~/bad.jpg"} + arguments);
    QCOMPARE(run.err, "kestrelvanepatchery-cli: " + message.replace("~", home.path()) + "\n");
    QCOMPARE(run.exitCode, int(ExitBadInput));
    QVERIFY(!QFile::exists(Path("bad.jpg")));
}

void TstCli::exitCodesAndOutput()
{
    const CliResult bad = Run({"~/sample/source.jpg", "--tiles", "9"});
    QVERIFY(bad.exitCode == 2 && bad.out.isEmpty());
    QCOMPARE(bad.err, QString("kestrelvanepatchery-cli: --tiles takes a whole number from 10 to 1000, not '9'\n"));
    const CliResult version = Run({"--version"});
    QVERIFY(version.exitCode == 0 && version.err.isEmpty());
    QCOMPARE(version.out, QString("kestrelvanepatchery-cli 0.2\n"));
    // The other options are all used by the runs here.
    const CliResult help = Run({"--help"});
    QVERIFY(help.exitCode == 0 && help.err.isEmpty() && help.out.startsWith("Usage: "));
    QVERIFY(help.out.contains("--exclude <DIR>"));
}

// Also the progress on a standard error that is no terminal: plain lines,
// each stage from 0 to 100 percent, at most a line per tenth of the way.
void TstCli::mosaicFromSample()
{
    const CliResult run =
        Run(RunArguments("~/out/mosaic.jpg") + QStringList{"--use", "~/sample/collection", "--repeats", "1"});
    QVERIFY2(run.exitCode == 0 && run.out == Path("out/mosaic.jpg") + "\n", qPrintable(run.err));

    static const QRegularExpression barLine("^(\\w+) +(\\d+)%  \\d+:\\d\\d$");
    QStringList stages, notes;
    int tenth = 10;
    for (const QString &line : run.err.split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = barLine.match(line);
        if (!match.hasMatch()) {
            notes.append(line);
            continue;
        }
        const int percent = match.captured(2).toInt();
        const bool newStage = stages.isEmpty() || stages.last() != match.captured(1);
        QVERIFY2(newStage ? tenth == 10 && percent == 0 : percent / 10 > tenth, qPrintable(line));
        if (newStage)
            stages.append(match.captured(1));
        tenth = percent / 10;
    }
    QCOMPARE(tenth, 10);
    QCOMPARE(stages, QStringList({"scanning", "matching", "assembling", "saving"}));
    QVERIFY2(notes.size() == 2 && notes[1].startsWith("Mosaic saved as " + Path("out/mosaic.jpg") + " in "),
             qPrintable(run.err));
    QCOMPARE(notes[0], "Tile repetitions raised from 1 to 2 so that 300 pictures can fill 400 tiles.");

    // The source is 4:3, so 500 pixels across make 375 down.
    Image mosaic;
    QVERIFY(ReadJPEG(Path("out/mosaic.jpg"), mosaic));
    QCOMPARE(QSize(mosaic.width, mosaic.height), QSize(500, 375));
    QVERIFY(QFileInfo(Path("db/imagedb")).size() > 300 * 768);
    QCOMPARE(QDir(Path("Kestrelvanepatchery")).entryList({"tile*.jpg"}).size(), 300);
    QVERIFY(!QFile::exists(Path("Desktop")));
}

// An empty output means the default; a missing folder is the wizard's row.
void TstCli::outputUnusable_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("message");
    const auto row = [](const char *tag, const char *output, const char *message) {
        QTest::newRow(tag) << QString(output) << QString(message);
    };
    row("parent is a file", "~/file.txt/mosaic.jpg", "~/file.txt/mosaic.jpg: ~/file.txt is not a folder");
    row("output is a folder", "~/out", "~/out: it is a folder");
    row("no Desktop", "",
        "~/Desktop/photomosaic.jpg: the folder ~/Desktop does not exist; name another file with --output FILE");
}

// Found out before the long work starts: nothing below home changes.
void TstCli::outputUnusable()
{
    QFETCH(QString, output);
    QFETCH(QString, message);
    const QStringList before = Listing(home.path());
    const CliResult run = RunHere(RunArguments(output));
    QVERIFY(run.exitCode == 1 && run.out.isEmpty());
    QCOMPARE(run.err, "kestrelvanepatchery-cli: cannot save the mosaic as " + message.replace("~", home.path()) + "\n");
    QCOMPARE(Listing(home.path()), before);
}

// No --use: the folders stored in the database file are scanned again (the
// home directory has no Pictures folder to fall back on); no --output: the
// mosaic goes to the Desktop folder.
void TstCli::databaseReused()
{
    const QByteArray database = Contents(Path("db/imagedb"));
    const QStringList cache = Listing(Path("Kestrelvanepatchery"));
    QVERIFY(QDir(home.path()).mkdir("Desktop"));
    const CliResult run = RunHere(RunArguments(QString()));
    QVERIFY2(run.exitCode == 0 && run.out == Path("Desktop/photomosaic.jpg\n"), qPrintable(run.err));
    Image mosaic;
    QVERIFY(ReadJPEG(Path("Desktop/photomosaic.jpg"), mosaic) && mosaic.width == 500);
    // Nothing was decoded again: no new cache file, and the database file
    // was written with exactly the same records.
    QCOMPARE(Listing(Path("Kestrelvanepatchery")), cache);
    QCOMPARE(Contents(Path("db/imagedb")), database);
}

// A file size limit makes every write past 64 KiB fail, as a full disk does:
// the mosaic is left out entirely, the database file keeps its contents and
// standard error holds the two reasons.
void TstCli::failedSaveLeavesNoHalfFile()
{
    const QByteArray database = Contents(Path("db/imagedb"));
    QVERIFY(database.size() > 64 * 1024);
    const QStringList before = Listing(Path("out"));
    const FileSizeLimit limit(64 * 1024);
    const CliResult run = RunHere(RunArguments("~/out/limited.jpg"));
    QVERIFY(run.exitCode == 1 && run.out.isEmpty());
    static const QRegularExpression reasons("^kestrelvanepatchery-cli: cannot save the image database file ~/db/imagedb"
                                            "[^\n]*\nkestrelvanepatchery-cli: The photo mosaic could not be saved to "
                                            "~/out/limited.jpg: [^\n]*\n$");
    QVERIFY2(QString(run.err).replace(home.path(), "~").contains(reasons), qPrintable(run.err));
    QCOMPARE(Listing(Path("out")), before);
    QCOMPARE(Contents(Path("db/imagedb")), database);
}

// The mosaic is saved whatever becomes of the view and the report; one that
// cannot be written is named on standard error and makes the exit code 1.
void TstCli::zoomableViewAndReport_data()
{
    QTest::addColumn<QString>("zoomable");
    QTest::addColumn<QString>("report");
    QTest::addColumn<QString>("message");
    const auto row = [](const char *tag, const char *zoomable, const char *report, const char *message) {
        QTest::newRow(tag) << QString(zoomable) << QString(report) << QString(message);
    };
    row("both in one folder", "~/out/view", "~/out/view", "");
    row("view in a file", "~/file.txt", "~/out/report",
        "cannot write the zoomable view into ~/file.txt: ~/file.txt is not a folder");
    row("report below a file", "~/out/view", "~/file.txt/report",
        "cannot write the likeness report into ~/file.txt/report: cannot make the folder ~/file.txt/report: Not a "
        "directory");
}

void TstCli::zoomableViewAndReport()
{
    QFETCH(QString, zoomable);
    QFETCH(QString, report);
    QFETCH(QString, message);
    QFile::remove(Path("out/viewed.jpg"));
    QVERIFY(QDir(Path("out/view")).removeRecursively());
    const CliResult run = Run(RunArguments("~/out/viewed.jpg") << "--zoomable" << zoomable << "--report" << report);
    QVERIFY(run.out == Path("out/viewed.jpg") + "\n" && QFile::exists(Path("out/viewed.jpg")));
    QCOMPARE(run.exitCode, message.isEmpty() ? 0 : 1);
    QVERIFY2(run.err.contains("\nLikeness: mean difference ") != report.contains("file.txt"), qPrintable(run.err));
    if (!message.isEmpty())
        QVERIFY2(run.err.contains("kestrelvanepatchery-cli: " + message.replace("~", home.path()) + "\n"),
                 qPrintable(run.err));
    // The files themselves are checked by the report's and the view's own tests.
    QCOMPARE(QFile::exists(Path("out/view/mosaic.dzi")), !zoomable.contains("file.txt"));
    QCOMPARE(QFile::exists(Path("out/view/tiles.csv")), report == "~/out/view");
}

// The lines the tool writes besides its progress; "~" is the home folder.
void TstCli::collectionReports_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("notes");
    const QString left = "2 pictures are damaged or unreadable and left out";
    const QString summary = left + ": ~/c/cut.jpg, ~/c/text.jpg (--verbose lists the reasons).";
    QTest::newRow("verbose") << QStringList{"--verbose"}
                             << QStringList{left + ":", "  ~/c/cut.jpg: Premature end of JPEG file",
                                            "  ~/c/text.jpg: Not a JPEG file: starts with 0x6e 0x6f"};
    QTest::newRow("quiet") << QStringList{"--quiet"} << QStringList();
    QTest::newRow("used and excluded")
        << QStringList{"--use", "~/c/gone", "--exclude", "~/c/gone"}
        << QStringList{"The folder ~/c/gone is excluded as well as used; exclusion wins, so it is left out.", summary};
}

// Each run makes a portrait mosaic of the turned source, upright as it is shown.
void TstCli::collectionReports()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, notes);
    const QString output = Path(QString("reports/%1.jpg").arg(QTest::currentDataTag()));
    const CliResult run = Run(QStringList{"~/turned.jpg", "--use", "~/c", "--tiles", "10", "--resolution", "500",
                                          "--imagedb", output + ".db", "--output", output}
                              + arguments);
    QVERIFY2(run.exitCode == 0 && run.out == output + "\n", qPrintable(run.err));
    QStringList lines = run.err.split('\n', Qt::SkipEmptyParts);
    static const QRegularExpression others("^(\\w+ +\\d+%  \\d+:\\d\\d|Tile repetitions .*|Mosaic saved as .*)$");
    lines.removeIf([](const QString &line) { return line.contains(others); });
    QCOMPARE(lines, notes.replaceInStrings("~", home.path()));
    Image mosaic;
    QVERIFY(ReadJPEG(output, mosaic));
    QCOMPARE(QSize(mosaic.width, mosaic.height), QSize(375, 500));
}

QTEST_GUILESS_MAIN(TstCli)
#include "tst_cli.moc"
