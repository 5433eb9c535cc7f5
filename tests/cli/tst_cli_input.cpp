#include "CliProcess.h"

#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>

// Bad command lines and bad input: one line on standard error, exit code 2,
// nothing on standard output. Also --help and --version.
class TstCliInput : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void badInput_data();
    void badInput();
    void help();
    void version();

private:
    QTemporaryDir home;
    QString source;
};

void TstCliInput::initTestCase()
{
    QVERIFY(home.isValid());
    Image picture(64, 48);
    QVERIFY(picture.data);
    std::memset(picture.data, 120, picture.ByteCount());
    source = home.filePath("source.jpg");
    QVERIFY(WriteJPEG(source, picture, 90));
    QVERIFY(QDir(home.path()).mkpath("empty/inner"));
    QFile text(home.filePath("empty/inner/notes.jpg"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("these are notes, not a picture\n");
    text.close();
    QFile::copy(home.filePath("empty/inner/notes.jpg"), home.filePath("notes.jpg"));
}

void TstCliInput::badInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    const QString src = home.filePath("source.jpg");
    const auto row = [](const char *name, const QStringList &arguments, const QString &message) {
        QTest::newRow(name) << arguments << message;
    };
    row("unknown option", {src, "--frobnicate"}, "Unknown option 'frobnicate'.");
    row("single-dash word", {src, "-tiles", "20"}, "Unknown options: t, i, l, e, s.");
    row("missing value", {src, "--tiles"}, "Missing value after '--tiles'.");
    row("tiles not a number", {src, "--tiles", "abc"}, "--tiles takes a whole number from 10 to 1000, not 'abc'");
    row("tiles with unit", {src, "--tiles=20x"}, "--tiles takes a whole number from 10 to 1000, not '20x'");
    row("tiles too few", {src, "--tiles", "9"}, "--tiles takes a whole number from 10 to 1000, not '9'");
    row("tiles too many", {src, "--tiles", "1001"}, "--tiles takes a whole number from 10 to 1000, not '1001'");
    row("tiles overflowing", {src, "--tiles", "4294967306"},
        "--tiles takes a whole number from 10 to 1000, not '4294967306'");
    row("resolution too low", {src, "--resolution", "499"},
        "--resolution takes a whole number from 500 to 30000, not '499'");
    row("resolution too high", {src, "--resolution=30001"},
        "--resolution takes a whole number from 500 to 30000, not '30001'");
    row("repeats negative", {src, "--repeats=-1"}, "--repeats takes a whole number from 0 to 99, not '-1'");
    row("repeats too many", {src, "--repeats", "100"}, "--repeats takes a whole number from 0 to 99, not '100'");
    row("blend fraction", {src, "--blend", "2.5"}, "--blend takes a whole number from 0 to 50, not '2.5'");
    row("blend too much", {src, "--blend", "51"}, "--blend takes a whole number from 0 to 50, not '51'");
    row("no threads", {src, "--threads", "0"}, "--threads takes a whole number from 1 to 256, not '0'");
    row("strategy unknown", {src, "--strategy", "slow"}, "--strategy takes none, fast or fastest, not 'slow'");
    row("strategy in capitals", {src, "--strategy", "FAST"}, "--strategy takes none, fast or fastest, not 'FAST'");
    row("empty output", {src, "--output="}, "--output needs a path, not an empty text");
    row("no source", {"--tiles", "20"}, "no source picture given (see --help)");
    row("two sources", {src, src}, QString("one source picture is needed, not 2: %1 %1").arg(src));
    row("source missing", {home.filePath("missing.jpg")},
        QString("the source picture %1 does not exist").arg(home.filePath("missing.jpg")));
    row("source is a folder", {home.path()}, QString("the source picture %1 is a folder").arg(home.path()));
    row("source not a picture", {home.filePath("notes.jpg")},
        QString("the source picture %1 is not a JPEG picture that can be read").arg(home.filePath("notes.jpg")));
    row("folder to use missing", {src, "--use", home.filePath("nowhere")},
        QString("no folder to use: %1 is not a folder").arg(home.filePath("nowhere")));
    row("folder to use is a file", {src, "--use", src}, QString("no folder to use: %1 is not a folder").arg(src));
    row("no Pictures folder", {src},
        QString("no folder to use: %1/Pictures not found; name one with --use DIR").arg(home.path()));
    row("empty collection", {src, "--use", home.filePath("empty")},
        QString("no usable pictures in %1").arg(home.filePath("empty")));
    row("sample with a source", {"--make-sample", home.filePath("sample"), src},
        "--make-sample takes no source picture");
}

void TstCliInput::badInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    // A database file per row, so no row finds what another one stored.
    const QString imageDB = home.filePath(QString("imagedb-%1").arg(QTest::currentDataTag()));
    const QString output = home.filePath("mosaic.jpg");
    const CliResult run = RunCli(QStringList{"--quiet", "--imagedb", imageDB, "--output", output} + arguments,
                                 home.path());
    QVERIFY(run.finished);
    QCOMPARE(run.err, "kestrelvanepatchery-cli: " + message + "\n");
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QString());
    QVERIFY(!QFile::exists(output));
}

void TstCliInput::help()
{
    const CliResult run = RunCli({"--help"}, home.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QString());
    QVERIFY(run.out.startsWith("Usage: "));
    for (const char *option : {"--use <DIR>", "--exclude <DIR>", "--strategy <NAME>", "--tiles <N>",
                               "--resolution <N>", "--repeats <N>", "--blend <N>", "--output <FILE>",
                               "--imagedb <FILE>", "--threads <N>", "--quiet", "--make-sample <DIR>", "--help",
                               "--version", "SOURCE"})
        QVERIFY2(run.out.contains(option), option);
}

void TstCliInput::version()
{
    const CliResult run = RunCli({"--version"}, home.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QString("kestrelvanepatchery-cli 0.2\n"));
    QCOMPARE(run.err, QString());
}

QTEST_GUILESS_MAIN(TstCliInput)
#include "tst_cli_input.moc"
