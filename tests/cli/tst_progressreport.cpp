#include "app/cli/ProgressReport.h"

#include <QTest>
#include <cstdio>

class TstProgressReport : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void linesAtEveryTenth();
    void linesEndPreviousStage();
    void terminalRedrawsInPlace();
    void noteBreaksTheBar();
    void silentShowsOnlyErrors();
    void elapsed_data();
    void elapsed();

private:
    QString Written();

    FILE *stream = nullptr;
};

void TstProgressReport::init()
{
    stream = std::tmpfile();
    QVERIFY(stream);
}

void TstProgressReport::cleanup()
{
    if (stream)
        std::fclose(stream);
    stream = nullptr;
}

QString TstProgressReport::Written()
{
    std::fflush(stream);
    std::rewind(stream);
    QByteArray bytes;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0)
        bytes.append(buffer, qsizetype(n));
    return QString::fromLocal8Bit(bytes);
}

void TstProgressReport::linesAtEveryTenth()
{
    ProgressReport report(stream, ProgressReport::Lines);
    report.BeginStage("scanning");
    for (int percent : {1, 5, 9, 10, 12, 35, 30, 36, 99})
        report.SetPercent(percent);
    report.EndStage();
    const QStringList expected = {
        "scanning     0%  0:00", "scanning    10%  0:00", "scanning    35%  0:00",
        "scanning    99%  0:00", "scanning   100%  0:00", "",
    };
    QCOMPARE(Written().split('\n'), expected);
}

void TstProgressReport::linesEndPreviousStage()
{
    ProgressReport report(stream, ProgressReport::Lines);
    report.BeginStage("matching");
    report.SetPercent(40);
    report.BeginStage("assembling");
    report.EndStage();
    report.EndStage();
    const QStringList expected = {
        "matching     0%  0:00", "matching    40%  0:00", "matching   100%  0:00",
        "assembling   0%  0:00", "assembling 100%  0:00", "",
    };
    QCOMPARE(Written().split('\n'), expected);
}

void TstProgressReport::terminalRedrawsInPlace()
{
    ProgressReport report(stream, ProgressReport::Terminal);
    report.BeginStage("saving");
    report.SetPercent(50);
    report.SetPercent(50);
    report.Refresh();
    report.EndStage();
    const QString empty(30, '.'), half = QString(15, '#') + QString(15, '.'), full(30, '#');
    QCOMPARE(Written(), "\rsaving     [" + empty + "]   0%  0:00"
                        "\rsaving     [" + half + "]  50%  0:00"
                        "\rsaving     [" + full + "] 100%  0:00\n");
}

void TstProgressReport::noteBreaksTheBar()
{
    ProgressReport report(stream, ProgressReport::Terminal);
    report.BeginStage("matching");
    report.Note("Tile repetitions raised.");
    report.SetPercent(10);
    report.EndStage();
    const QString output = Written();
    QVERIFY2(output.contains("  0%  0:00\nTile repetitions raised.\n\rmatching   [###"), qPrintable(output));
    QVERIFY(output.endsWith(" 100%  0:00\n"));
}

void TstProgressReport::silentShowsOnlyErrors()
{
    ProgressReport report(stream, ProgressReport::Silent);
    report.BeginStage("scanning");
    report.SetPercent(50);
    report.Note("a note");
    report.EndStage();
    report.Error("the source picture x.jpg does not exist");
    QCOMPARE(Written(), QString("kestrelvanepatchery-cli: the source picture x.jpg does not exist\n"));
}

void TstProgressReport::elapsed_data()
{
    QTest::addColumn<qint64>("milliseconds");
    QTest::addColumn<QString>("expected");
    QTest::newRow("start") << qint64(0) << "0:00";
    QTest::newRow("just under a minute") << qint64(59999) << "0:59";
    QTest::newRow("a minute") << qint64(61000) << "1:01";
    QTest::newRow("just under an hour") << qint64(3599999) << "59:59";
    QTest::newRow("an hour") << qint64(3600000) << "1:00:00";
    QTest::newRow("over an hour") << qint64(3723000) << "1:02:03";
}

void TstProgressReport::elapsed()
{
    QFETCH(qint64, milliseconds);
    QFETCH(QString, expected);
    QCOMPARE(ProgressReport::FormatElapsed(milliseconds), expected);
}

QTEST_GUILESS_MAIN(TstProgressReport)
#include "tst_progressreport.moc"
