#include "WizardKit.h"

#include "engine/ImagePosterParameters.h"
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
    // Runs the page from entry to its completion box; returns the box.
    SeenBox runToCompletion();
    QProgressBar *bar() { return page->findChild<QProgressBar *>("progressBar"); }

    TemporaryHome *home = nullptr;
    ImagePosterParameters *params = nullptr;
    GeneratePage *page = nullptr;
    QList<QUrl> opened;
};

void TstGeneratePage::init()
{
    opened.clear();
    home = new TemporaryHome;
    QVERIFY(StoreCollection(home->path() + "/Pictures", 30));
    QVERIFY(StorePicture(home->path() + "/source.jpg", Solid(120, 80, {30, 90, 200})));
    QVERIFY(QDir().mkpath(home->path() + "/Desktop"));

    params = new ImagePosterParameters;
    params->numThreads = 2;
    params->sourceFilename = home->path() + "/source.jpg";
    params->divisions = 12;
    params->targetResolution = 600;
    QSignalSpy scanned(&params->imageDB, &ImageDB::complete);
    params->imageDB.Update(params->useDirectories, {}, ImageDB::StrategyFast, 2);
    QVERIFY(scanned.count() == 1 || scanned.wait(30000));

    page = new GeneratePage(params);
    page->show();
    QVERIFY(QTest::qWaitForWindowExposed(page));
}

void TstGeneratePage::cleanup()
{
    page->StopGeneration();
    delete page;
    delete params;
    delete home;
}

SeenBox TstGeneratePage::runToCompletion()
{
    SeenBox box;
    QPointer<QTimer> guard = AcceptNextMessageBox(&box);
    page->initializePage();
    [&] { QTRY_VERIFY_WITH_TIMEOUT(box.seen, 60000); }();
    delete guard;
    return box;
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
        if (steps[i][0] == 's')
            page->stageChange(value);
        else
            page->updateProgress(value);
        QCOMPARE(this->bar()->value(), bar[i]);
    }
    QCOMPARE(page->subTitle(), steps.contains("s2") ? QString("Your photo mosaic is being saved.")
                                                    : QString("Your photo mosaic is being calculated."));
}

void TstGeneratePage::backDuringAssemblyCancels()
{
    // Big enough that assembly is still running when Back is pressed.
    params->divisions = 40;
    params->targetResolution = 8000;
    auto *generator = page->findChild<PosterGenerator *>();
    QSignalSpy saving(generator, &PosterGenerator::saving);
    bool backPressed = false;
    connect(
        generator, &PosterGenerator::stage, page,
        [&](int stage) {
            if (stage == 1 && !backPressed) {
                backPressed = true;
                page->cleanupPage();
            }
        },
        Qt::QueuedConnection);
    page->initializePage();
    QTRY_VERIFY_WITH_TIMEOUT(backPressed, 60000);
    // Were the run not cancelled, its agents would go on into saving.
    QTRY_COMPARE_WITH_TIMEOUT(WorkerThreads(), 0, 60000);
    QCoreApplication::processEvents();
    QCOMPARE(saving.count(), 0);
    QVERIFY(!page->isComplete());
    QVERIFY(!QFile::exists(params->outputFilename));
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
    const QString folder = home->path() + "/Desktop/photomosaic-zoomable";
    QVERIFY(!folderIsAFile || Store(folder, "in the way"));
    auto *button = page->findChild<QPushButton *>("zoomableButton");
    QCOMPARE(button->text(), QString("Open zoomable view"));
    QVERIFY(!button->isEnabled());
    QVERIFY(runToCompletion().seen);
    QVERIFY(button->isEnabled());

    QDesktopServices::setUrlHandler("file", this, "openUrl");
    SeenBox box;
    QPointer<QTimer> guard = AcceptNextMessageBox(&box);
    button->click();
    QTRY_VERIFY_WITH_TIMEOUT(!opened.isEmpty() || box.seen, 60000);
    QDesktopServices::unsetUrlHandler("file");
    delete guard;
    QVERIFY(button->isEnabled());
    if (folderIsAFile) {
        QCOMPARE(box.title, QString("Error Writing Zoomable View"));
        QCOMPARE(box.text, "The zoomable view could not be written to " + folder + ": " + folder + " is not a folder");
        return;
    }
    QCOMPARE(opened, QList<QUrl>{QUrl::fromLocalFile(folder + "/index.html")});
    for (const char *file : {"index.html", "tiles.js", "mosaic.dzi", "mosaic_files/0/0_0.jpeg"})
        QVERIFY2(QFile::exists(folder + "/" + file), file);
}

QTEST_MAIN(TstGeneratePage)
#include "tst_generatepage.moc"
