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
    const auto bar = [](int hashes, const char *percent) {
        return "\rsaving     [" + QString(hashes, '#') + QString(30 - hashes, '.') + "] " + percent + "%  0:00";
    };
    QCOMPARE(QString::fromLocal8Bit(file.readAll()),
             bar(0, "  0") + bar(15, " 50") + "\nTile repetitions raised.\n" + bar(15, " 50") + bar(30, "100") + "\n");
}

void TstProgressReport::elapsed()
{
    QCOMPARE(ProgressReport::FormatElapsed(3599999), QString("59:59"));
    QCOMPARE(ProgressReport::FormatElapsed(3723000), QString("1:02:03"));
}

QTEST_GUILESS_MAIN(TstProgressReport)
#include "tst_progressreport.moc"
