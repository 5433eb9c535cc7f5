#include "TestKit.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// What the tool says about a collection with damaged pictures and about the
// folders it leaves out, and a source photo stored turned.
class TstCliCollection : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void reports_data();
    void reports();

private:
    QString Path(const QString &name) const { return home.filePath(name); }

    QTemporaryDir home;
};

void TstCliCollection::initTestCase()
{
    QVERIFY(home.isValid());
    QVERIFY(QDir().mkpath(Path("c/gone")));
    // A portrait photo stored lying on its side, as phones store it.
    Image stored = Blocks(3, 4);
    stored.RotateLeft();
    QVERIFY(WriteTaggedJPEG(Path("source.jpg"), stored, Exif(6)));
    for (int i = 0; i < 4; ++i)
        QVERIFY(WriteJPEG(Path(QString("c/good%1.jpg").arg(i)), Blocks(i + 1, 2), 90));
    QVERIFY(WriteJPEG(Path("c/gone/kept.jpg"), Blocks(2, 2), 90));
    QFile cut(Path("c/cut.jpg")), text(Path("c/text.jpg"));
    QVERIFY(WriteJPEG(cut.fileName(), Blocks(8, 8), 90) && cut.resize(cut.size() - 2));   // no end marker
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("not a picture") == 13);
}

// The lines the tool writes besides its progress; "~" is the home folder.
void TstCliCollection::reports_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("notes");
    const QString left = "2 pictures are damaged or unreadable and left out";
    const QString summary = left + ": ~/c/cut.jpg, ~/c/text.jpg (--verbose lists the reasons).";
    QTest::newRow("summary") << QStringList() << QStringList{summary};
    QTest::newRow("verbose") << QStringList{"--verbose"}
                             << QStringList{left + ":", "  ~/c/cut.jpg: Premature end of JPEG file",
                                            "  ~/c/text.jpg: Not a JPEG file: starts with 0x6e 0x6f"};
    QTest::newRow("quiet") << QStringList{"--quiet"} << QStringList();
    QTest::newRow("used and excluded")
        << QStringList{"--use", "~/c/gone", "--exclude", "~/c/gone"}
        << QStringList{"The folder ~/c/gone is excluded as well as used; exclusion wins, so it is left out.", summary};
}

// Each run makes a portrait mosaic of the source, upright as it is shown.
void TstCliCollection::reports()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, notes);
    QProcess tool;
    tool.setEnvironment(QProcess::systemEnvironment() << "HOME=" + home.path());   // the last one counts
    const QString output = Path(QString("%1.jpg").arg(QTest::currentDataTag()));
    arguments = QStringList{"~/source.jpg", "--use",     "~/c",          "--tiles",  "10",  "--resolution",
                            "500",          "--imagedb", output + ".db", "--output", output}
                + arguments;
    tool.start(CLI_PATH, arguments.replaceInStrings("~", home.path()));
    QVERIFY(tool.waitForFinished(120000));
    QCOMPARE(tool.exitCode(), 0);
    QCOMPARE(tool.readAllStandardOutput(), QFile::encodeName(output) + "\n");
    QStringList lines = QString::fromLocal8Bit(tool.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    lines.removeIf([](const QString &line) {
        return line.contains(QRegularExpression("^\\w+ +\\d+%  \\d+:\\d\\d$")) || line.startsWith("Tile repetitions")
               || line.startsWith("Mosaic saved as ");
    });
    QCOMPARE(lines, notes.replaceInStrings("~", home.path()));
    Image mosaic;
    QVERIFY(ReadJPEG(output, mosaic));
    QCOMPARE(QSize(mosaic.width, mosaic.height), QSize(375, 500));
}

QTEST_GUILESS_MAIN(TstCliCollection)
#include "tst_clicollection.moc"
