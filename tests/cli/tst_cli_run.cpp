#include "CliProcess.h"

#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QDateTime>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

// Whole runs of the tool on the sample collection it makes itself, in a home
// directory of their own.
class TstCliRun : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void sampleCollection();
    void sampleIsTheSameEveryTime();
    void mosaicFromSample();
    void progressAsPlainLines();
    void databaseReused();
    void quietRun();
    void defaultOutputOnDesktop();
    void outputUnusable_data();
    void outputUnusable();
    void diskFullWhileSaving();
    void fileSizeLimitLeavesNoHalfFile();

private:
    QString Path(const QString &name) const { return home.filePath(name); }
    // A small mosaic of the sample; no --output when output is empty.
    QStringList RunArguments(const QString &output) const;
    // Every file below dir with its size and modification time.
    static QStringList Listing(const QString &dir);
    static QByteArray Contents(const QString &path);

    QTemporaryDir home;
    CliResult firstRun;
};

void TstCliRun::initTestCase()
{
    QVERIFY(home.isValid());
    const CliResult made = RunCli({"--make-sample", Path("sample")}, home.path());
    QVERIFY(made.finished);
    QCOMPARE(made.exitCode, 0);
    QCOMPARE(made.out, Path("sample") + "\n");

    // A picture that cannot be decoded: counted as unusable, and whatever the
    // libraries say about it must not reach standard output.
    QVERIFY(QDir(home.path()).mkpath("extra"));
    QFile broken(Path("extra/broken.jpg"));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write(QByteArray(4096, 'x'));
    broken.close();
    QFile text(Path("file.txt"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.close();
}

void TstCliRun::sampleCollection()
{
    int landscape = 0, portrait = 0, square = 0;
    QSet<QString> folders;
    QDirIterator it(Path("sample/collection"), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        QVERIFY2(file.endsWith(".jpg"), qPrintable(file));
        Image picture;
        QVERIFY2(ReadJPEG(file, picture), qPrintable(file));
        QVERIFY(picture.width >= 320 && picture.width <= 640);
        QVERIFY(picture.height >= 320 && picture.height <= 640);
        if (picture.width > picture.height)
            ++landscape;
        else if (picture.width < picture.height)
            ++portrait;
        else
            ++square;
        folders.insert(it.fileInfo().dir().dirName());
    }
    QCOMPARE(landscape, 100);
    QCOMPARE(portrait, 100);
    QCOMPARE(square, 100);
    QVERIFY(folders.size() >= 5);

    Image source;
    QVERIFY(ReadJPEG(Path("sample/source.jpg"), source));
    QCOMPARE(source.width, 4000);
    QCOMPARE(source.height, 3000);
}

void TstCliRun::sampleIsTheSameEveryTime()
{
    const CliResult made = RunCli({"--make-sample", Path("again"), "--quiet"}, home.path());
    QVERIFY(made.finished);
    QCOMPARE(made.exitCode, 0);
    QCOMPARE(made.err, QString());
    QDirIterator it(Path("sample"), QDir::Files, QDirIterator::Subdirectories);
    int compared = 0;
    while (it.hasNext()) {
        const QString file = it.next();
        const QString twin = Path("again") + file.mid(Path("sample").size());
        QVERIFY2(Contents(file) == Contents(twin), qPrintable(twin));
        ++compared;
    }
    QCOMPARE(compared, 301);
}

QStringList TstCliRun::RunArguments(const QString &output) const
{
    QStringList arguments = {Path("sample/source.jpg"), "--imagedb", Path("db/imagedb"), "--tiles", "20",
                             "--resolution", "500", "--threads", "2"};
    if (!output.isEmpty())
        arguments << "--output" << output;
    return arguments;
}

void TstCliRun::mosaicFromSample()
{
    QVERIFY(QDir(home.path()).mkpath("db"));
    const QString output = Path("out/mosaic.jpg");
    QVERIFY(QDir(home.path()).mkpath("out"));
    firstRun = RunCli(RunArguments(output) + QStringList{"--use", Path("sample/collection"), "--use",
                                                         Path("extra"), "--repeats", "1"},
                      home.path());
    QVERIFY(firstRun.finished);
    QVERIFY2(firstRun.exitCode == 0, qPrintable(firstRun.err));
    QCOMPARE(firstRun.out, output + "\n");
    QVERIFY2(firstRun.err.contains("\nTile repetitions raised from 1 to 2 so that 300 pictures can fill 400 tiles.\n"),
             qPrintable(firstRun.err));

    // The source is 4:3, so 500 pixels across make 375 down.
    Image mosaic;
    QVERIFY(ReadJPEG(output, mosaic));
    QCOMPARE(mosaic.width, 500);
    QCOMPARE(mosaic.height, 375);
    // A mosaic of the sample's picture: blue sky above, green meadow below.
    const auto mean = [&mosaic](int y0, int y1, int channel) {
        qint64 sum = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = 0; x < mosaic.width; ++x)
                sum += mosaic.data[(size_t(y) * mosaic.width + x) * 3 + channel];
        return double(sum) / (double(y1 - y0) * mosaic.width);
    };
    QVERIFY(mean(0, 60, 2) > mean(0, 60, 0) + 10);
    QVERIFY(mean(330, 375, 1) > mean(330, 375, 2) + 10);

    QVERIFY(QFileInfo(Path("db/imagedb")).size() > 300 * 768);
    QCOMPARE(QDir(Path("Kestrelvanepatchery")).entryList(QDir::Files).size(), 300);
    QVERIFY(!QFile::exists(Path("Desktop")));
}

void TstCliRun::progressAsPlainLines()
{
    const QString err = firstRun.err;
    QVERIFY(!err.isEmpty());
    QVERIFY(!err.contains('\r'));
    static const QRegularExpression barLine("^(\\w+) +(\\d+)%  \\d+:\\d\\d$");
    QStringList stages;
    QList<int> tenths;
    for (const QString &line : err.split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = barLine.match(line);
        if (!match.hasMatch()) {
            QVERIFY2(line.startsWith("Tile repetitions raised") || line.startsWith("Mosaic saved as"),
                     qPrintable(line));
            continue;
        }
        const int percent = match.captured(2).toInt();
        if (stages.isEmpty() || stages.last() != match.captured(1)) {
            QVERIFY2(tenths.isEmpty() || tenths.last() == 10, "every stage ends at 100 percent");
            stages.append(match.captured(1));
            QCOMPARE(percent, 0);
            tenths.clear();
        } else {
            // At most a line per tenth of the way.
            QVERIFY2(percent / 10 > tenths.last(), qPrintable(line));
        }
        tenths.append(percent / 10);
    }
    QCOMPARE(tenths.last(), 10);
    QCOMPARE(stages, QStringList({"scanning", "matching", "assembling", "saving"}));
}

void TstCliRun::databaseReused()
{
    const QByteArray database = Contents(Path("db/imagedb"));
    const QStringList cache = Listing(Path("Kestrelvanepatchery"));
    QCOMPARE(cache.size(), 300);

    // No --use: the folders stored in the database file are scanned again
    // (the home directory has no Pictures folder to fall back on).
    const QString output = Path("out/again.jpg");
    const CliResult run = RunCli(RunArguments(output), home.path());
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QCOMPARE(run.out, output + "\n");
    QVERIFY(run.err.contains("scanning   100%"));
    QVERIFY2(!run.err.contains("Tile repetitions raised"), "5 repetitions of 300 pictures fill 400 tiles");

    // Nothing was decoded again: no new cache file, and the database file
    // was written with exactly the same records.
    QCOMPARE(Listing(Path("Kestrelvanepatchery")), cache);
    QCOMPARE(Contents(Path("db/imagedb")), database);
    Image mosaic;
    QVERIFY(ReadJPEG(output, mosaic));
    QCOMPARE(mosaic.width, 500);
}

void TstCliRun::quietRun()
{
    const QString output = Path("out/quiet.jpg");
    const CliResult run = RunCli(RunArguments(output) + QStringList{"--quiet", "--blend", "0"}, home.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.out, output + "\n");
    QVERIFY(QFileInfo(output).size() > 0);
}

void TstCliRun::defaultOutputOnDesktop()
{
    const QString desktop = Path("Desktop");
    const CliResult refused = RunCli(RunArguments(QString()), home.path());
    QVERIFY(refused.finished);
    QCOMPARE(refused.exitCode, 1);
    QCOMPARE(refused.err, QString("kestrelvanepatchery-cli: cannot save the mosaic as %1/photomosaic.jpg: the folder "
                                  "%1 does not exist; name another file with --output FILE\n").arg(desktop));

    QVERIFY(QDir(home.path()).mkdir("Desktop"));
    const CliResult run = RunCli(RunArguments(QString()) + QStringList{"--quiet"}, home.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, desktop + "/photomosaic.jpg\n");
    QVERIFY(QFileInfo(desktop + "/photomosaic.jpg").size() > 0);
}

void TstCliRun::outputUnusable_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("message");
    QTest::newRow("folder missing") << Path("nowhere/mosaic.jpg")
                                    << QString("cannot save the mosaic as %1: the folder %2 does not exist")
                                           .arg(Path("nowhere/mosaic.jpg"), Path("nowhere"));
    QTest::newRow("parent is a file") << Path("file.txt/mosaic.jpg")
                                      << QString("cannot save the mosaic as %1: %2 is not a folder")
                                             .arg(Path("file.txt/mosaic.jpg"), Path("file.txt"));
    QTest::newRow("output is a folder") << Path("out")
                                        << QString("cannot save the mosaic as %1: it is a folder").arg(Path("out"));
}

// Found out before the long work starts.
void TstCliRun::outputUnusable()
{
    QFETCH(QString, output);
    QFETCH(QString, message);
    const QStringList before = Listing(home.path());
    const CliResult run = RunCli(RunArguments(output), home.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QString());
    QCOMPARE(run.err, "kestrelvanepatchery-cli: " + message + "\n");
    QCOMPARE(Listing(home.path()), before);
}

void TstCliRun::diskFullWhileSaving()
{
    const CliResult run = RunCli(RunArguments("/dev/full") + QStringList{"--quiet"}, home.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QString());
    QVERIFY2(run.err.startsWith("kestrelvanepatchery-cli: The photo mosaic could not be saved to /dev/full"),
             qPrintable(run.err));
    QCOMPARE(run.err.count('\n'), 1);
    struct stat status;
    QVERIFY(stat("/dev/full", &status) == 0 && S_ISCHR(status.st_mode));
}

// A file size limit makes every write past 64 KiB fail, as a full disk does:
// the mosaic is left out entirely, and the database file keeps its old
// contents.
void TstCliRun::fileSizeLimitLeavesNoHalfFile()
{
    const QByteArray database = Contents(Path("db/imagedb"));
    QVERIFY(database.size() > 64 * 1024);
    const QStringList before = Listing(Path("out"));
    const QString output = Path("out/limited.jpg");
    const CliResult run = RunCli(RunArguments(output) + QStringList{"--quiet"}, home.path(), [] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QString());
    QVERIFY2(run.err.contains(QString("kestrelvanepatchery-cli: cannot save the image database file %1")
                                  .arg(Path("db/imagedb"))),
             qPrintable(run.err));
    QVERIFY2(run.err.contains("kestrelvanepatchery-cli: The photo mosaic could not be saved to " + output),
             qPrintable(run.err));
    QCOMPARE(Listing(Path("out")), before);
    QCOMPARE(Contents(Path("db/imagedb")), database);
}

QStringList TstCliRun::Listing(const QString &dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        entries.append(QString("%1 %2 %3").arg(info.filePath()).arg(info.size())
                           .arg(info.lastModified().toMSecsSinceEpoch()));
    }
    entries.sort();
    return entries;
}

QByteArray TstCliRun::Contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QTEST_GUILESS_MAIN(TstCliRun)
#include "tst_cli_run.moc"
