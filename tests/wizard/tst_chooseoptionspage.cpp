#include "WizardKit.h"

#include "engine/ImagePosterParameters.h"
#include "wizard/ChooseOptionsPage.h"

#include <QCheckBox>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

class TstChooseOptionsPage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void entryRaisesRepetitions_data();
    void entryRaisesRepetitions();
    void typedValuesKeepRepetitionsRaised();
    void resolutionFollowsTilesUntilSetByUser();
    void outputName();
    void arrangementAndSpacing();

private:
    QSpinBox *spin(const char *name) { return page->findChild<QSpinBox *>(name); }
    void enter(int images, int unusable = 0);
    void typeInto(const char *name, int value);

    TemporaryHome *home = nullptr;
    ImagePosterParameters *params = nullptr;
    ChooseOptionsPage *page = nullptr;
};

void TstChooseOptionsPage::init()
{
    home = new TemporaryHome;
    QVERIFY(QDir().mkpath(home->path() + "/Pictures"));
    params = new ImagePosterParameters;
    page = new ChooseOptionsPage(params);
}

void TstChooseOptionsPage::cleanup()
{
    delete page;
    delete params;
    delete home;
}

// Enters the page with a database of images usable and unusable records; the
// page only counts them, so they need no files.
void TstChooseOptionsPage::enter(int images, int unusable)
{
    for (int i = 0; i < images + unusable; ++i)
        params->imageDB.Add(QString("/collection/%1.jpg").arg(i));
    for (int i = 0; i < unusable; ++i)
        params->imageDB.SkipImage(QString("/collection/%1.jpg").arg(i));
    QCOMPARE(params->imageDB.GetNumUsableImages(), images);
    page->show();
    QVERIFY(QTest::qWaitForWindowExposed(page));
    page->initializePage();
}

void TstChooseOptionsPage::typeInto(const char *name, int value)
{
    spin(name)->setFocus();
    spin(name)->selectAll();
    QTest::keyClicks(spin(name), QString::number(value));
    QTest::keyClick(spin(name), Qt::Key_Return);
}

void TstChooseOptionsPage::entryRaisesRepetitions_data()
{
    QTest::addColumn<int>("images");
    QTest::addColumn<int>("unusable");
    QTest::addColumn<int>("divisions");
    QTest::addColumn<int>("repeats");
    QTest::addColumn<int>("expectedRepeats");
    QTest::addColumn<int>("expectedResolution");

    // The arithmetic is tested with the run record; these rows show the page uses it.
    QTest::newRow("500 pictures, defaults") << 500 << 0 << 60 << 5 << 8 << 6000;
    // Pictures that could not be read fill no tiles.
    QTest::newRow("unusable not counted") << 500 << 100 << 60 << 5 << 8 << 6000;
}

void TstChooseOptionsPage::entryRaisesRepetitions()
{
    QFETCH(int, images);
    QFETCH(int, unusable);
    QFETCH(int, divisions);
    QFETCH(int, repeats);
    QFETCH(int, expectedRepeats);
    QFETCH(int, expectedResolution);

    params->divisions = divisions;
    params->repeats = repeats;
    enter(images, unusable);
    QCOMPARE(params->repeats, expectedRepeats);
    QCOMPARE(params->targetResolution, expectedResolution);
    QCOMPARE(spin("repeatsSpinBox")->value(), expectedRepeats);
    QCOMPARE(spin("targetResSpinBox")->value(), expectedResolution);
    QCOMPARE(spin("divisionsSpinBox")->value(), divisions);
}

void TstChooseOptionsPage::typedValuesKeepRepetitionsRaised()
{
    enter(500);
    typeInto("divisionsSpinBox", 100);
    QCOMPARE(params->repeats, 20);   // 10000 tiles / 500 pictures
    // The spin box is corrected from the record 100 ms later.
    QCOMPARE(spin("repeatsSpinBox")->value(), 8);
    QTRY_COMPARE(spin("repeatsSpinBox")->value(), 20);

    // Fewer tiles need fewer repetitions, but what was raised stays.
    typeInto("divisionsSpinBox", 63);
    QCOMPARE(params->repeats, 20);

    // Typed repetitions below the need are corrected; above it they stand.
    typeInto("repeatsSpinBox", 3);
    QCOMPARE(params->repeats, 8);
    QTRY_COMPARE(spin("repeatsSpinBox")->value(), 8);
    typeInto("repeatsSpinBox", 25);
    QCOMPARE(params->repeats, 25);
    typeInto("blendSpinBox", 35);
    QCOMPARE(params->blend, 35);
}

void TstChooseOptionsPage::resolutionFollowsTilesUntilSetByUser()
{
    enter(4000);
    typeInto("divisionsSpinBox", 63);
    QCOMPARE(params->targetResolution, 6300);
    QCOMPARE(spin("targetResSpinBox")->value(), 6300);

    typeInto("targetResSpinBox", 2500);
    QCOMPARE(params->targetResolution, 2500);
    typeInto("divisionsSpinBox", 40);
    QCOMPARE(params->targetResolution, 2500);

    // Also after leaving and entering the page again.
    page->initializePage();
    QCOMPARE(spin("targetResSpinBox")->value(), 2500);
}

void TstChooseOptionsPage::outputName()
{
    enter(0);
    auto *edit = page->findChild<QLineEdit *>("filenameEdit");
    auto *browse = page->findChild<QPushButton *>("browseButton");
    QCOMPARE(edit->text(), home->path() + "/Desktop/photomosaic.jpg");
    QVERIFY(page->isComplete());

    // Any text will do, without a folder or a suffix, stored as typed.
    edit->selectAll();
    QTest::keyClicks(edit, "m");
    QCOMPARE(params->outputFilename, QString("m"));
    QVERIFY(QDir().mkpath(home->path() + "/Mosaics"));

    const SeenDialog dialog = ChooseWith(browse, home->path() + "/Mosaics/beach");
    QCOMPARE(dialog.title, QString("Choose output filename"));
    QCOMPARE(dialog.directory, home->path() + "/Pictures");
    QCOMPARE(dialog.nameFilters, QStringList("Images (*.jpg)"));
    QVERIFY(params->outputFilename.startsWith(home->path() + "/Mosaics/beach"));
    QCOMPARE(edit->text(), params->outputFilename);

    // Cancelling the dialog empties the name, and Next goes off.
    QVERIFY(ChooseWith(browse, QString()).seen);
    QVERIFY(edit->text().isEmpty());
    QVERIFY(params->outputFilename.isEmpty());
    QVERIFY(!page->isComplete());

    // An existing output file is where the next dialog opens.
    const QString existing = home->path() + "/Mosaics/old.jpg";
    QVERIFY(Store(existing, "x"));
    QTest::keyClicks(edit, existing);
    QVERIFY(page->isComplete());
    QCOMPARE(ChooseWith(browse, QString()).directory, home->path() + "/Mosaics");
}

// Off and 0 at first, as a run with the defaults needs; each control sets its field.
void TstChooseOptionsPage::arrangementAndSpacing()
{
    enter(500);
    auto *optimal = page->findChild<QCheckBox *>("optimalCheckBox");
    QVERIFY(optimal && !optimal->isChecked() && !params->optimalArrangement);
    QCOMPARE(spin("spacingSpinBox")->value(), 0);
    QCOMPARE(spin("spacingSpinBox")->maximum(), 20);
    optimal->click();
    typeInto("spacingSpinBox", 3);
    QVERIFY(params->optimalArrangement);
    QCOMPARE(params->spacing, 3);
}

QTEST_MAIN(TstChooseOptionsPage)
#include "tst_chooseoptionspage.moc"
