#include "WizardKit.h"

#include "engine/PosterGenerator.h"
#include "wizard/GeneratePage.h"

#include <QDesktopServices>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

class TstGeneratePage : public QObject {
    Q_OBJECT
public slots:
    // Where the desktop's browser would have been sent.
    void openUrl(const QUrl &url) { opened.append(url); }

private slots:
    void init();
    void cleanup();

    void barNeverMovesBackwards_data();
    void barNeverMovesBackwards();
    void backDuringAssemblyCancels();
    void zoomableView_data();
    void zoomableView();

private:
    std::optional<PageInHome<GeneratePage>> f;
    QList<QUrl> opened;
};

void TstGeneratePage::init()
{
    opened.clear();
    f.emplace();
    ImagePosterParameters &params = f->params;
    QVERIFY(StoreCollection(f->home.in("Pictures"), 30));
    QVERIFY(StorePicture(f->home.in("source.jpg"), Solid(120, 80, {30, 90, 200})));
    QVERIFY(QDir().mkpath(f->home.in("Desktop")));
    params.numThreads = 2;
    params.sourceFilename = f->home.in("source.jpg");
    params.divisions = 12;
    params.targetResolution = 600;
    QVERIFY(RunUpdate(params.imageDB, params.useDirectories, ImageDB::StrategyFast, 2));
    QVERIFY(Shown(&f->page));
}

void TstGeneratePage::cleanup()
{
    f->page.StopGeneration();
    f.reset();
}

void TstGeneratePage::barNeverMovesBackwards_data()
{
    // Each step: a stage change (s) or a progress report (p), then the bar.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QList<int>>("bar");
    QTest::newRow("out of order") << QStringList{"p10", "p42", "p41", "p42"} << QList<int>{10, 42, 42, 42};
    QTest::newRow("new stage starts at 0")
        << QStringList{"p80", "s1", "p5", "p3", "s2", "p1"} << QList<int>{80, 0, 5, 5, 0, 1};
}

void TstGeneratePage::barNeverMovesBackwards()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, bar);
    for (int i = 0; i < steps.size(); ++i) {
        const int value = steps[i].mid(1).toInt();
        steps[i][0] == 's' ? f->page.stageChange(value) : f->page.updateProgress(value);
        QCOMPARE(f->page.findChild<QProgressBar *>("progressBar")->value(), bar[i]);
    }
    QCOMPARE(f->page.subTitle(), steps.contains("s2") ? QString("Your photo mosaic is being saved.")
                                                      : QString("Your photo mosaic is being calculated."));
}

// Were the run not cancelled, its agents would go on into saving.
void TstGeneratePage::backDuringAssemblyCancels()
{
    // Big enough that assembly is still running when Back is pressed.
    f->params.divisions = 40;
    f->params.targetResolution = 8000;
    auto *generator = f->page.findChild<PosterGenerator *>();
    QSignalSpy saving(generator, &PosterGenerator::saving);
    bool backPressed = false;
    connect(
        generator, &PosterGenerator::stage, &f->page,
        [&](int stage) {
            if (stage == 1 && !std::exchange(backPressed, true))
                f->page.cleanupPage();
        },
        Qt::QueuedConnection);
    f->page.initializePage();
    QTRY_VERIFY_WITH_TIMEOUT(backPressed, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(WorkerThreads(), 0, 60000);
    QCoreApplication::processEvents();
    QVERIFY(saving.isEmpty() && !f->page.isComplete() && !QFile::exists(f->params.outputFilename));
}

void TstGeneratePage::zoomableView_data()
{
    QTest::addColumn<bool>("folderIsAFile");
    QTest::newRow("opened in the browser") << false;
    QTest::newRow("folder is a file") << true;
}

// The view goes beside the saved mosaic, into a folder named after it.
void TstGeneratePage::zoomableView()
{
    QFETCH(bool, folderIsAFile);
    const QString folder = f->home.in("Desktop/photomosaic-zoomable");
    QVERIFY(!folderIsAFile || Store(folder, "in the way"));
    auto *button = f->page.findChild<QPushButton *>("zoomableButton");
    QVERIFY(button->text() == "Open zoomable view" && !button->isEnabled());
    SeenBox box;
    QPointer<QTimer> guard = AcceptNextMessageBox(&box);
    f->page.initializePage();
    [&] { QTRY_VERIFY_WITH_TIMEOUT(box.seen, 60000); }();
    delete guard;
    QVERIFY(box.seen && button->isEnabled());

    QDesktopServices::setUrlHandler("file", this, "openUrl");
    box.seen = false;
    guard = AcceptNextMessageBox(&box);
    // The progress bar starts again for a view being written, and ends full.
    QList<int> progress;
    auto *bar = f->page.findChild<QProgressBar *>("progressBar");
    const QObject watching;
    connect(bar, &QProgressBar::valueChanged, &watching, [&](int value) { progress << value; });
    button->click();
    QTRY_VERIFY_WITH_TIMEOUT(!opened.isEmpty() || box.seen, 60000);
    QDesktopServices::unsetUrlHandler("file");
    delete guard;
    QVERIFY(button->isEnabled() && bar->value() == 100);
    if (folderIsAFile) {
        QCOMPARE(box.title, QString("Error Writing Zoomable View"));
        QCOMPARE(box.text, "The zoomable view could not be written to " + folder + ": " + folder + " is not a folder");
        return;
    }
    QVERIFY(progress.size() >= 2 && progress.first() == 0 && progress.last() == 100);
    QCOMPARE(opened, QList<QUrl>{QUrl::fromLocalFile(folder + "/index.html")});
    for (const char *file : {"index.html", "tiles.js", "mosaic.dzi", "mosaic_files/0/0_0.jpeg"})
        QVERIFY2(QFile::exists(folder + "/" + file), file);
}

QTEST_MAIN(TstGeneratePage)
#include "tst_generatepage.moc"
