#include "engine/ImagePosterParameters.h"

#include <QTest>
#include <vector>

class TstParameters : public QObject {
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void raiseRepeats_data();
    void raiseRepeats();
};

void TstParameters::parse_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("threads");
    QTest::addColumn<QString>("imagedb");
    // Parsing starts from -1 threads and the database "/db".
    QTest::newRow("no arguments") << QStringList{} << -1 << "/db";
    QTest::newRow("nt 0") << QStringList{"-nt", "0"} << 1 << "/db";
    QTest::newRow("nt 4x") << QStringList{"-nt", "4x"} << 4 << "/db";
    QTest::newRow("nt huge saturates") << QStringList{"-nt", "99999999999999999999"} << 2147483647 << "/db";
    QTest::newRow("nt last") << QStringList{"-imagedb", "/a", "-nt"} << -1 << "/a";
    QTest::newRow("imagedb eats -nt") << QStringList{"-imagedb", "-nt", "3"} << -1 << "-nt";
    QTest::newRow("unknown and other cases skipped")
        << QStringList{"-x", "-NT", "5", "-ImageDB", "/a", "-nt", "2", "stray"} << 2 << "/db";
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
    QString imageDBFilename = "/db";
    ParseCommandLine(int(argv.size()), argv.data(), numThreads, imageDBFilename);
    QCOMPARE(numThreads, threads);
    QCOMPARE(imageDBFilename, imagedb);
}

void TstParameters::raiseRepeats_data()
{
    QTest::addColumn<int>("divisions");
    QTest::addColumn<int>("images");
    QTest::addColumn<int>("repeats");
    QTest::addColumn<int>("expected");   // unchanged means not raised
    QTest::newRow("exact fit") << 60 << 720 << 5 << 5;
    QTest::newRow("one short") << 60 << 719 << 5 << 6;
    QTest::newRow("capped at the control's maximum") << 1000 << 10 << 5 << 99;
    QTest::newRow("empty collection does not hang") << 60 << 0 << 5 << 5;
}

void TstParameters::raiseRepeats()
{
    QFETCH(int, divisions);
    QFETCH(int, images);
    QFETCH(int, repeats);
    QFETCH(int, expected);
    const bool raised = expected != repeats;
    QCOMPARE(RaiseRepeatsToFill(divisions, images, repeats), raised);
    QCOMPARE(repeats, expected);
    // The resolution follows the tiles up to the largest output.
    QVERIFY(ResolutionForDivisions(60) == 6000 && ResolutionForDivisions(301) == 30000);
}

QTEST_GUILESS_MAIN(TstParameters)
#include "tst_parameters.moc"
