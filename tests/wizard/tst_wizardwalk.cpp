// Walks the whole wizard as a user would, from an empty home directory to a
// saved mosaic, with a quick Back and a failed save on the way. With
// KVP_SCREENSHOT_DIR set it also photographs every page
// (scripts/screenshots.sh).

#include "WizardKit.h"

#include "engine/PosterGenerator.h"

#include <QImage>
#include <QSpinBox>
#include <QtTest>

#include <random>

namespace {

// A collection spread over the colour cube, in two folders.
bool StoreVariedCollection(const QString &dir, int count)
{
    std::mt19937 random(2026);
    for (int i = 0; i < count; ++i) {
        const color3 c{static_cast<unsigned char>(random()), static_cast<unsigned char>(random()),
                       static_cast<unsigned char>(random())};
        const QString name = QString("%1/%2/p%3.jpg").arg(dir, i % 3 ? "Trips" : "Garden").arg(i, 3, 10, QChar('0'));
        if (!StorePicture(name, Solid(64 + i % 5 * 8, 48, c)))
            return false;
    }
    return true;
}

// Blue sky over green hills, so the mosaic has something to show.
Image HillsAndSky(int w, int h)
{
    return Make(w, h, [h](int x, int y) {
        return y < h * 3 / 5 ? color3{70, 110, static_cast<unsigned char>(250 - y / 4)}
                             : color3{60, static_cast<unsigned char>(120 + x % 50), 50};
    });
}

// The mean colour of rows of an image, by Qt's area-averaging reduction.
QColor Mean(const QImage &image, int firstRow, int rows)
{
    return image.copy(0, firstRow, image.width(), rows)
        .scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .pixelColor(0, 0);
}

}   // namespace

class TstWizardWalk : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void wholeWizard();

private:
    void click(QWizard::WizardButton which) { wizard->button(which)->click(); }
    void shoot(const QString &name) { Photograph(*wizard, name); }
    // Presses Next on the options page; answers the box at the end and returns it.
    SeenBox generate();

    WizardInHome f;
    ImagePosterWizard *const wizard = &f.wizard;
    ImagePosterParameters *const params = &f.params;
    const TemporaryHome *const home = &f.home;
    QString screenshotDir;
    int collectionSize = 150;
    bool finishedEarly = false;   // the page said it was complete while the run went on
};

void TstWizardWalk::initTestCase()
{
    screenshotDir = qEnvironmentVariable("KVP_SCREENSHOT_DIR");
    // A fuller collection makes a finer picture.
    collectionSize = screenshotDir.isEmpty() ? 150 : 500;
    QVERIFY(StoreVariedCollection(home->in("Pictures"), collectionSize));
    QVERIFY(StorePicture(home->in("Pictures/Garden/landscape.jpg"), HillsAndSky(640, 480)));
    QVERIFY(Store(home->in("Pictures/Trips/broken.jpg"), "not a picture"));
    QVERIFY(QDir().mkpath(home->in("Desktop")));
    wizard->init(2, QString());
    wizard->resize(820, 640);
    QVERIFY(Shown(wizard));
}

SeenBox TstWizardWalk::generate()
{
    auto *generator = wizard->page(4)->findChild<PosterGenerator *>();
    bool shotTaken = false;
    finishedEarly = false;
    QMetaObject::Connection assembling = connect(generator, &PosterGenerator::progress, this, [&](int percent) {
        finishedEarly |= wizard->currentPage()->isComplete();
        // Photographed a third of the way through assembly.
        if (shotTaken || percent < 33)
            return;
        if (wizard->page(4)->subTitle() == "Your photo mosaic is being assembled.") {
            shotTaken = true;
            shoot("5-generate");
        }
    });
    SeenBox box;
    QPointer<QTimer> guard = AcceptNextMessageBox(&box, [this] { shoot("6-done"); });
    click(QWizard::NextButton);
    [&] { QTRY_VERIFY_WITH_TIMEOUT(box.seen, 120000); }();
    delete guard;
    disconnect(assembling);
    return box;
}

void TstWizardWalk::wholeWizard()
{
    // Page 0: the picture, typed and confirmed with Return.
    QCOMPARE(wizard->currentId(), 0);
    QVERIFY(!wizard->button(QWizard::NextButton)->isEnabled());
    TypeAndReturn(wizard->currentPage()->findChild<QLineEdit *>("filenameEdit"),
                  home->in("Pictures/Garden/landscape.jpg"));
    QVERIFY(wizard->button(QWizard::NextButton)->isEnabled());
    shoot("1-choose-picture");
    click(QWizard::NextButton);

    // Page 1: the default directory, the user's Pictures folder.
    QCOMPARE(wizard->currentId(), 1);
    QCOMPARE(params->useDirectories, QStringList(home->in("Pictures")));
    shoot("2-choose-directories");

    // Page 2: the scan, with Next off until the wizard moves on by itself;
    // photographed halfway.
    bool shotTaken = false, nextEnabledDuringScan = false;
    QMetaObject::Connection halfway = connect(&params->imageDB, &ImageDB::progress, this, [&](int percent) {
        nextEnabledDuringScan |= wizard->currentId() == 2 && wizard->button(QWizard::NextButton)->isEnabled();
        if (percent >= 50 && !shotTaken) {
            shotTaken = true;
            shoot("3-update-database");
        }
    });
    QSignalSpy pages(wizard, &QWizard::currentIdChanged);
    click(QWizard::NextButton);
    QTRY_COMPARE_WITH_TIMEOUT(wizard->currentId(), 3, 60000);
    disconnect(halfway);
    QVERIFY(!nextEnabledDuringScan);
    QCOMPARE(pages.count(), 2);   // the update page, then the options page, once each
    QCOMPARE(wizard->page(2)->findChild<QLabel *>("usableLabel")->text(), QString::number(collectionSize + 1));
    QCOMPARE(wizard->page(2)->findChild<QLabel *>("unusableLabel")->text(), QString("1"));

    // Next and at once Back start nothing. The page starts its run from a
    // 10 ms timer; one of ours started later with the same interval fires
    // after it, however long either takes.
    QSignalSpy stages(wizard->page(4)->findChild<PosterGenerator *>(), &PosterGenerator::stage);
    click(QWizard::NextButton);
    click(QWizard::BackButton);
    bool fired = false;
    QTimer::singleShot(10, Qt::PreciseTimer, this, [&fired] { fired = true; });
    QTRY_VERIFY(fired);
    QVERIFY(stages.isEmpty() && wizard->currentId() == 3 && !QFile::exists(params->outputFilename));

    // Back from the options passes over the update page; Next scans again.
    QSignalSpy progress(&params->imageDB, &ImageDB::progress);
    click(QWizard::BackButton);
    QTRY_COMPARE(wizard->currentId(), 1);
    QVERIFY(progress.isEmpty());
    click(QWizard::NextButton);
    QTRY_COMPARE_WITH_TIMEOUT(wizard->currentId(), 3, 60000);
    QVERIFY(!progress.isEmpty());

    // Page 3: 3600 tiles need 24 uses of each of 151 pictures (8 of 501).
    // Fewer tiles for a quick test; the repetitions stay raised.
    auto *tiles = wizard->currentPage()->findChild<QSpinBox *>("divisionsSpinBox");
    auto *repeats = wizard->currentPage()->findChild<QSpinBox *>("repeatsSpinBox");
    QCOMPARE(repeats->value(), screenshotDir.isEmpty() ? 24 : 8);
    if (screenshotDir.isEmpty()) {
        tiles->selectAll();
        QTest::keyClicks(tiles, "30");
        QCOMPARE(params->targetResolution, 3000);
        QCOMPARE(params->repeats, 24);
    }
    shoot("4-choose-options");

    // Next lets a device through, as it may take a mosaic; writing fails.
    // Back, and the mosaic gets the default name after all.
    auto *edit = wizard->currentPage()->findChild<QLineEdit *>("filenameEdit");
    const QString output = edit->text();
    QCOMPARE(output, home->in("Desktop/photomosaic.jpg"));
    edit->clear();
    QTest::keyClicks(edit, "/dev/full");
    const SeenBox failed = generate();
    QVERIFY2(failed.title == "Error Saving File" && failed.icon == QMessageBox::Critical
                 && failed.text.contains("/dev/full"),
             qPrintable(failed.text));
    QCOMPARE(wizard->currentPage()->subTitle(), QString("Your photo mosaic could not be completed."));
    QVERIFY(!wizard->button(QWizard::FinishButton)->isEnabled());
    click(QWizard::BackButton);
    QCOMPARE(wizard->currentId(), 3);
    edit->clear();
    QTest::keyClicks(edit, output);

    const SeenBox box = generate();
    QVERIFY(box.title == "Kestrelvanepatchery" && box.textFormat == Qt::RichText && box.hasWindowIcon);
    QCOMPARE(box.text, "Your photo mosaic was saved to " + output);
    QVERIFY(wizard->button(QWizard::FinishButton)->isEnabled() && !finishedEarly);
    QCOMPARE(wizard->currentPage()->subTitle(), QString("Your photo mosaic is done."));

    // The mosaic: the size asked for, every tile painted, and it looks like
    // the landscape: blue sky above green hills.
    Image mosaic;
    QVERIFY(ReadJPEG(output, mosaic));
    QCOMPARE(QSize(mosaic.width, mosaic.height), QSize(params->targetResolution, params->targetResolution * 3 / 4));
    const QImage whole(mosaic.data, mosaic.width, mosaic.height, qsizetype(mosaic.width) * 3, QImage::Format_RGB888);
    const int n = params->divisions;
    const QImage perTile = whole.scaled(n, n, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);   // a pixel a tile
    for (int i = 0; i < n * n; ++i) {
        const QColor c = perTile.pixelColor(i % n, i / n);
        QVERIFY2(c.red() + c.green() + c.blue() > 30, qPrintable(QString("tile %1,%2 is black").arg(i % n).arg(i / n)));
    }
    const QColor sky = Mean(whole, 0, mosaic.height / 5),
                 hills = Mean(whole, mosaic.height * 9 / 10, mosaic.height / 10);
    QVERIFY(sky.blue() > sky.green() && sky.blue() > sky.red());
    QVERIFY(hills.green() > hills.blue() && hills.green() > hills.red());
    if (!screenshotDir.isEmpty())
        QVERIFY(whole.scaledToWidth(900, Qt::SmoothTransformation).save(screenshotDir + "/mosaic.png"));

    // The database file: every picture, the chosen directories and strategy.
    ImageDB saved;
    QVERIFY(saved.Read(home->in("imagedb")));
    QCOMPARE(saved.GetNumUsableImages(), collectionSize + 1);
    QVERIFY(saved.directories == QStringList(home->in("Pictures")) && saved.strategy == ImageDB::StrategyFast);
    QCOMPARE(QDir(home->in("Kestrelvanepatchery")).entryList({"tile*.jpg"}).size(), collectionSize + 1);

    click(QWizard::FinishButton);
    QVERIFY(!wizard->isVisible() && wizard->result() == QDialog::Accepted);
}

QTEST_MAIN(TstWizardWalk)
#include "tst_wizardwalk.moc"
