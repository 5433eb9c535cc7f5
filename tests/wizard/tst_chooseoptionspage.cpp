#include "WizardKit.h"

#include "engine/ImagePosterParameters.h"
#include "wizard/ChooseOptionsPage.h"
#include "wizard/ImagePosterWizard.h"

#include <QCheckBox>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

class TstChooseOptionsPage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void typedValuesKeepRepetitionsRaised();
    void resolutionFollowsTilesUntilSetByUser();
    void noteWhenTilesStayEmpty();
    void outputName();
    void outputCheckedOnNext_data();
    void outputCheckedOnNext();
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

// The note follows the number of tiles and the spacing; repetitions stop at
// 99. Pictures that could not be read fill no tiles.
void TstChooseOptionsPage::noteWhenTilesStayEmpty()
{
    ImagePosterWizard wizard;
    for (int i = 0; i < 150; ++i)
        wizard.parameters()->imageDB.Add(QString("/c/%1.jpg").arg(i));
    for (int i = 0; i < 20; ++i)
        wizard.parameters()->imageDB.SkipImage(QString("/c/%1.jpg").arg(i));
    wizard.setStartId(3);
    wizard.show();
    const auto *note = wizard.page(3)->findChild<QLabel *>("fillNote");
    auto *tiles = wizard.page(3)->findChild<QSpinBox *>("divisionsSpinBox");
    QVERIFY(note && !note->isVisible());
    tiles->setValue(150);
    QVERIFY(note->isVisible());
    QCOMPARE(note->text(), QString("130 pictures used at most 99 times each cannot fill 22500 tiles; some tiles stay "
                                   "empty. Set the number of tiles to 113 or fewer to fill them all."));
    QTRY_COMPARE(wizard.page(3)->findChild<QSpinBox *>("repeatsSpinBox")->value(), 99);
    Photograph(wizard, "4b-tiles-unfilled");
    tiles->setValue(113);
    QVERIFY(!note->isVisible());
    // Every 21 by 21 tiles need as many pictures, and 12 by 12 tiles lie
    // within 20 of each other.
    wizard.page(3)->findChild<QSpinBox *>("spacingSpinBox")->setValue(20);
    QVERIFY(note->isVisible());
    QCOMPARE(note->text(), QString("130 pictures used at most 99 times each, and 36 times with spacing 20, cannot fill "
                                   "12769 tiles; some tiles stay empty. Set the number of tiles to 11 or fewer to "
                                   "fill them all."));
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

void TstChooseOptionsPage::outputCheckedOnNext_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("answer");   // to the question whether to replace, if asked
    QTest::addColumn<QString>("problem");
    QTest::addColumn<bool>("onward");
    QTest::newRow("new file") << "mosaic.jpg"
                              << ""
                              << "" << true;
    QTest::newRow("folder missing") << "missing/mosaic.jpg"
                                    << ""
                                    << "Cannot save the mosaic as ~/missing/mosaic.jpg: the folder ~/missing "
                                       "does not exist."
                                    << false;
    QTest::newRow("existing, kept") << "old.jpg"
                                    << "No"
                                    << "" << false;
    QTest::newRow("existing, replaced") << "old.jpg"
                                        << "Yes"
                                        << "" << true;
}

void TstChooseOptionsPage::outputCheckedOnNext()
{
    QFETCH(QString, name);
    QFETCH(QString, answer);
    QFETCH(QString, problem);
    QFETCH(bool, onward);
    QVERIFY(Store(home->path() + "/old.jpg", "kept"));
    params->outputFilename = home->path() + "/" + name;
    enter(0);
    QPointer<QTimer> guard = WhenModal([&](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        box->button(answer == "Yes" ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    QCOMPARE(page->validatePage(), onward);
    delete guard;
    const auto *shown = page->findChild<QLabel *>("outputProblem");
    QVERIFY(shown);
    QCOMPARE(shown->isVisible() ? shown->text() : QString(), QString(problem).replace("~", home->path()));
    QCOMPARE(QDir(home->path()).entryList(QDir::Files | QDir::Hidden), QStringList("old.jpg"));
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
