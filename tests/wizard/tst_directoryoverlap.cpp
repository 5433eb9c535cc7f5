#include "engine/ImagePosterParameters.h"
#include "wizard/ChooseDirectoriesPage.h"

#include <QLabel>
#include <QtTest>

// The directories page says when a directory to use is excluded as well,
// itself or by a directory above it, since the update then leaves it out.
class TstDirectoryOverlap : public QObject {
    Q_OBJECT
private slots:
    void note_data();
    void note();
};

void TstDirectoryOverlap::note_data()
{
    QTest::addColumn<QStringList>("use");
    QTest::addColumn<QStringList>("excluded");
    QTest::addColumn<QString>("note");
    QTest::newRow("apart") << QStringList{"/p/a"} << QStringList{"/p/ab", "/p/a/b"} << QString();
    QTest::newRow("in both") << QStringList{"/q", "/p/a"} << QStringList{"/p/a"}
                             << "Excluded as well, so left out: /p/a";
    QTest::newRow("below an excluded one")
        << QStringList{"/p/a/b", "/p/a/c"} << QStringList{"/p/a"} << "Excluded as well, so left out: /p/a/b, /p/a/c";
}

void TstDirectoryOverlap::note()
{
    QFETCH(QStringList, use);
    QFETCH(QStringList, excluded);
    QFETCH(QString, note);
    ImagePosterParameters params;
    params.useDirectories = use;
    params.notUseDirectories = excluded;
    ChooseDirectoriesPage page(&params);
    page.initializePage();
    const QLabel *label = page.findChild<QLabel *>("overlapNote");
    QVERIFY(label);
    QCOMPARE(label->isVisibleTo(&page), !note.isEmpty());
    QCOMPARE(label->isVisibleTo(&page) ? label->text() : QString(), note);
}

QTEST_MAIN(TstDirectoryOverlap)
#include "tst_directoryoverlap.moc"
