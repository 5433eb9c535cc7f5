#include "cli/ProgressReport.h"

#include <QFile>
#include <QTest>
#include <cstdio>

// The tool's own runs cannot give it a terminal, so the bars drawn for one
// are checked here on a file.
class TstProgressReport : public QObject {
    Q_OBJECT
private slots:
    void terminalRedrawsInPlace();
    void elapsed_data();
    void elapsed();
};

// A bar is drawn again only when it changes, and again below a note.
void TstProgressReport::terminalRedrawsInPlace()
{
    QFile file;
    FILE *stream = std::tmpfile();
    QVERIFY(stream && file.open(stream, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
    ProgressReport report(stream, ProgressReport::Terminal);
    report.BeginStage("saving");
    report.SetPercent(50);
    report.SetPercent(50);
    report.Refresh();
    report.Note("Tile repetitions raised.");
    report.Refresh();
    report.EndStage();
    std::rewind(stream);
    const QString empty(30, '.'), half = QString(15, '#') + QString(15, '.'), full(30, '#');
    QCOMPARE(QString::fromLocal8Bit(file.readAll()), "\rsaving     [" + empty
                                                         + "]   0%  0:00"
                                                           "\rsaving     ["
                                                         + half
                                                         + "]  50%  0:00\nTile repetitions raised.\n"
                                                           "\rsaving     ["
                                                         + half
                                                         + "]  50%  0:00"
                                                           "\rsaving     ["
                                                         + full + "] 100%  0:00\n");
}

void TstProgressReport::elapsed_data()
{
    QTest::addColumn<qint64>("milliseconds");
    QTest::addColumn<QString>("expected");
    QTest::newRow("just under an hour") << qint64(3599999) << "59:59";
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
