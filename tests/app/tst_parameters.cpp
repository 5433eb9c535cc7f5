#include "app/ImagePosterParameters.h"

#include <QDir>
#include <QTest>
#include <vector>

class TstParameters : public QObject {
    Q_OBJECT
private slots:
    void defaults();
    void parse_data();
    void parse();
    void raiseRepeats_data();
    void raiseRepeats();
    void resolutionFollowsTiles();
};

void TstParameters::defaults()
{
    ImagePosterParameters params;
    const QString home = QDir::homePath();
    QCOMPARE(params.numThreads, -1);
    QCOMPARE(params.imageDBFilename, home + "/imagedb");
    QVERIFY(params.sourceFilename.isEmpty());
    QVERIFY(!params.sourceImage);
    QCOMPARE(params.imageStrategy, int(ImageDB::StrategyFast));
    QCOMPARE(params.useDirectories, QStringList{home + "/Pictures"});
    QVERIFY(params.notUseDirectories.isEmpty());
    QCOMPARE(params.divisions, 60);
    QCOMPARE(params.repeats, 5);
    QCOMPARE(params.blend, 20);
    QCOMPARE(params.targetResolution, 6000);
    QCOMPARE(params.outputFilename, home + "/Desktop/photomosaic.jpg");
    QCOMPARE(GetDesktopFolderPath(), home + "/Desktop");
    QCOMPARE(GetPictureFolderPath(), home + "/Pictures");
}

void TstParameters::parse_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("threads");
    QTest::addColumn<QString>("imagedb");

    QTest::newRow("no arguments") << QStringList{} << -1 << "";
    QTest::newRow("nt 0") << QStringList{"-nt", "0"} << 1 << "";
    QTest::newRow("nt -3") << QStringList{"-nt", "-3"} << 1 << "";
    QTest::newRow("nt abc") << QStringList{"-nt", "abc"} << 1 << "";
    QTest::newRow("nt 4x") << QStringList{"-nt", "4x"} << 4 << "";
    QTest::newRow("nt huge saturates") << QStringList{"-nt", "99999999999999999999"} << 2147483647 << "";
    QTest::newRow("nt last") << QStringList{"-nt"} << -1 << "";
    QTest::newRow("imagedb last") << QStringList{"-imagedb"} << -1 << "";
    QTest::newRow("imagedb empty") << QStringList{"-imagedb", ""} << -1 << "";
    QTest::newRow("imagedb twice") << QStringList{"-imagedb", "/a", "-imagedb", "/b"} << -1 << "/b";
    QTest::newRow("nt twice") << QStringList{"-nt", "2", "-nt", "8"} << 8 << "";
    QTest::newRow("imagedb eats -nt") << QStringList{"-imagedb", "-nt", "3"} << -1 << "-nt";
    QTest::newRow("unknown skipped") << QStringList{"-x", "-nt", "2", "stray"} << 2 << "";
    QTest::newRow("case-sensitive") << QStringList{"-NT", "2", "-ImageDB", "/a"} << -1 << "";
    QTest::newRow("non-ASCII path") << QStringList{"-imagedb", QString::fromUtf8("/tmp/bilder-\xc3\xa9/db")} << -1
                                    << QString::fromUtf8("/tmp/bilder-\xc3\xa9/db");
}

void TstParameters::parse()
{
    QFETCH(QStringList, args);
    QFETCH(int, threads);
    QFETCH(QString, imagedb);

    std::vector<QByteArray> bytes{"kestrelvanepatchery"};
    for (const QString &arg : args)
        bytes.push_back(arg.toUtf8());
    std::vector<const char *> argv;
    for (const QByteArray &b : bytes)
        argv.push_back(b.constData());

    int numThreads = -1;
    QString imageDBFilename;
    ParseCommandLine(int(argv.size()), argv.data(), numThreads, imageDBFilename);
    QCOMPARE(numThreads, threads);
    QCOMPARE(imageDBFilename, imagedb);
}

void TstParameters::raiseRepeats_data()
{
    QTest::addColumn<int>("divisions");
    QTest::addColumn<int>("images");
    QTest::addColumn<int>("repeats");
    QTest::addColumn<bool>("raised");
    QTest::addColumn<int>("expected");

    QTest::newRow("500 pictures, defaults") << 60 << 500 << 5 << true << 8;
    QTest::newRow("4000 pictures, defaults") << 60 << 4000 << 5 << false << 5;
    QTest::newRow("63 tiles, 4000 pictures") << 63 << 4000 << 5 << false << 5;
    QTest::newRow("exact fit") << 60 << 720 << 5 << false << 5;
    QTest::newRow("one short") << 60 << 719 << 5 << true << 6;
    QTest::newRow("typed too low") << 60 << 500 << 0 << true << 8;
    QTest::newRow("capped at the control's maximum") << 1000 << 10 << 5 << true << 99;
    QTest::newRow("already at maximum") << 1000 << 10 << 99 << false << 99;
    QTest::newRow("empty collection does not hang") << 60 << 0 << 5 << false << 5;
}

void TstParameters::raiseRepeats()
{
    QFETCH(int, divisions);
    QFETCH(int, images);
    QFETCH(int, repeats);
    QFETCH(bool, raised);
    QFETCH(int, expected);
    QCOMPARE(RaiseRepeatsToFill(divisions, images, repeats), raised);
    QCOMPARE(repeats, expected);
}

void TstParameters::resolutionFollowsTiles()
{
    QCOMPARE(ResolutionForDivisions(60), 6000);
    QCOMPARE(ResolutionForDivisions(63), 6300);
    QCOMPARE(ResolutionForDivisions(100), 10000);
    QCOMPARE(ResolutionForDivisions(300), 30000);
    QCOMPARE(ResolutionForDivisions(301), 30000);
    QCOMPARE(ResolutionForDivisions(1000), 30000);
}

QTEST_GUILESS_MAIN(TstParameters)
#include "tst_parameters.moc"
