#include "WizardTestSupport.h"

#include "app/ImagePosterParameters.h"
#include "wizard/ChooseOptionsPage.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

using namespace WizardTest;

class TstChooseOptionsPage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void texts();
    void entryRaisesRepetitions_data();
    void entryRaisesRepetitions();
    void typedTilesRaiseRepetitionsLater();
    void typedRepetitionsBelowTheNeedAreCorrected();
    void resolutionFollowsTilesUntilSetByUser();
    void blend();
    void outputName();
    void outputNameFromDialog();

private:
    QSpinBox *spin(const char *name) { return page->findChild<QSpinBox *>(name); }
    void fillDatabase(int count, int unusable = 0);
    void enter();
    void typeInto(QSpinBox *box, int value);

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

void TstChooseOptionsPage::fillDatabase(int count, int unusable)
{
    // The page only counts the records; they need no files.
    for (int i = 0; i < count + unusable; ++i)
        params->imageDB.Add(QString("/collection/%1.jpg").arg(i));
    for (int i = 0; i < unusable; ++i)
        params->imageDB.SkipImage(QString("/collection/%1.jpg").arg(i));
    QCOMPARE(params->imageDB.GetNumUsableImages(), count);
}

void TstChooseOptionsPage::enter()
{
    page->show();
    QVERIFY(QTest::qWaitForWindowExposed(page));
    page->initializePage();
}

void TstChooseOptionsPage::typeInto(QSpinBox *box, int value)
{
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, QString::number(value));
    QTest::keyClick(box, Qt::Key_Return);
}

void TstChooseOptionsPage::texts()
{
    QCOMPARE(page->title(), QString("Choose options"));
    QCOMPARE(page->subTitle(), QString("This page lets you set options that help determine the quality of your photo "
                                       "mosaic. The number of tiles influences how much the final photo mosaic will "
                                       "resemble the input image."));
    QStringList captions;
    for (QLabel *label : page->findChildren<QLabel *>()) {
        captions << label->text();
        QVERIFY(!label->toolTip().isEmpty());
    }
    QCOMPARE(captions, QStringList({"Number of tiles", "Output image resolution", "Tile repetitions",
                                    "Source image blend", "Output filename"}));
    QCOMPARE(page->findChildren<QLabel *>().last()->toolTip(),
             QString("Set the name of the image file where you want to save your photo mosaic."));
    QCOMPARE(spin("divisionsSpinBox")->minimum(), 10);
    QCOMPARE(spin("divisionsSpinBox")->maximum(), 1000);
    QCOMPARE(spin("targetResSpinBox")->minimum(), 500);
    QCOMPARE(spin("targetResSpinBox")->maximum(), 30000);
    QCOMPARE(spin("targetResSpinBox")->suffix(), QString(" pixels"));
    QCOMPARE(spin("repeatsSpinBox")->minimum(), 0);
    QCOMPARE(spin("repeatsSpinBox")->maximum(), 99);
    QCOMPARE(spin("blendSpinBox")->maximum(), 50);
    QCOMPARE(spin("blendSpinBox")->suffix(), QString("%"));
}

void TstChooseOptionsPage::entryRaisesRepetitions_data()
{
    QTest::addColumn<int>("images");
    QTest::addColumn<int>("unusable");
    QTest::addColumn<int>("divisions");
    QTest::addColumn<int>("repeats");
    QTest::addColumn<int>("expectedRepeats");
    QTest::addColumn<int>("expectedResolution");

    QTest::newRow("500 pictures, defaults") << 500 << 0 << 60 << 5 << 8 << 6000;
    QTest::newRow("4000 pictures, defaults") << 4000 << 0 << 60 << 5 << 5 << 6000;
    QTest::newRow("exactly enough") << 720 << 0 << 60 << 5 << 5 << 6000;
    QTest::newRow("one short") << 719 << 0 << 60 << 5 << 6 << 6000;
    QTest::newRow("never lowered") << 4000 << 0 << 60 << 40 << 40 << 6000;
    // Empty collection: nothing can fill the tiles, so nothing is raised and
    // the page does not hang.
    QTest::newRow("empty database") << 0 << 0 << 60 << 5 << 5 << 6000;
    // Beyond what the controls offer: the record stays inside their ranges.
    QTest::newRow("capped repeats and resolution") << 10 << 0 << 1000 << 5 << 99 << 30000;
    QTest::newRow("small") << 3 << 0 << 10 << 0 << 34 << 1000;
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

    fillDatabase(images, unusable);
    params->divisions = divisions;
    params->repeats = repeats;
    enter();
    QCOMPARE(params->repeats, expectedRepeats);
    QCOMPARE(params->targetResolution, expectedResolution);
    QCOMPARE(spin("repeatsSpinBox")->value(), expectedRepeats);
    QCOMPARE(spin("targetResSpinBox")->value(), expectedResolution);
    QCOMPARE(spin("divisionsSpinBox")->value(), divisions);
    QCOMPARE(spin("blendSpinBox")->value(), 20);
}

void TstChooseOptionsPage::typedTilesRaiseRepetitionsLater()
{
    fillDatabase(500);
    enter();
    QCOMPARE(spin("repeatsSpinBox")->value(), 8);

    typeInto(spin("divisionsSpinBox"), 100);
    QCOMPARE(params->divisions, 100);
    QCOMPARE(params->repeats, 20);   // 10000 tiles / 500 pictures
    // The spin box is corrected from the record 100 ms later.
    QCOMPARE(spin("repeatsSpinBox")->value(), 8);
    QTRY_COMPARE(spin("repeatsSpinBox")->value(), 20);

    // Fewer tiles need fewer repetitions, but what was raised stays.
    typeInto(spin("divisionsSpinBox"), 63);
    QCOMPARE(params->repeats, 20);
}

void TstChooseOptionsPage::typedRepetitionsBelowTheNeedAreCorrected()
{
    fillDatabase(500);
    enter();
    typeInto(spin("repeatsSpinBox"), 3);
    QCOMPARE(params->repeats, 8);
    QTRY_COMPARE(spin("repeatsSpinBox")->value(), 8);

    typeInto(spin("repeatsSpinBox"), 12);
    QCOMPARE(params->repeats, 12);
    QCOMPARE(spin("repeatsSpinBox")->value(), 12);
}

void TstChooseOptionsPage::resolutionFollowsTilesUntilSetByUser()
{
    fillDatabase(4000);
    enter();
    typeInto(spin("divisionsSpinBox"), 63);
    QCOMPARE(params->repeats, 5);
    QCOMPARE(params->targetResolution, 6300);
    QCOMPARE(spin("targetResSpinBox")->value(), 6300);

    typeInto(spin("divisionsSpinBox"), 100);
    QCOMPARE(params->targetResolution, 10000);

    typeInto(spin("targetResSpinBox"), 2500);
    QCOMPARE(params->targetResolution, 2500);
    typeInto(spin("divisionsSpinBox"), 40);
    QCOMPARE(params->targetResolution, 2500);
    QCOMPARE(spin("targetResSpinBox")->value(), 2500);

    // Also after leaving and entering the page again.
    page->initializePage();
    QCOMPARE(params->targetResolution, 2500);
    QCOMPARE(spin("targetResSpinBox")->value(), 2500);
}

void TstChooseOptionsPage::blend()
{
    enter();
    typeInto(spin("blendSpinBox"), 35);
    QCOMPARE(params->blend, 35);
    typeInto(spin("blendSpinBox"), 0);
    QCOMPARE(params->blend, 0);
}

void TstChooseOptionsPage::outputName()
{
    enter();
    auto *edit = page->findChild<QLineEdit *>("filenameEdit");
    QCOMPARE(edit->text(), home->path() + "/Desktop/photomosaic.jpg");
    QVERIFY(page->isComplete());

    QSignalSpy completeChanged(page, &QWizardPage::completeChanged);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QVERIFY(params->outputFilename.isEmpty());
    QVERIFY(!page->isComplete());

    // Any text will do, without a folder or a suffix, stored as typed.
    QTest::keyClicks(edit, "m");
    QCOMPARE(params->outputFilename, QString("m"));
    QVERIFY(page->isComplete());
    QCOMPARE(completeChanged.count(), 2);
}

void TstChooseOptionsPage::outputNameFromDialog()
{
    enter();
    auto *edit = page->findChild<QLineEdit *>("filenameEdit");
    auto *browse = page->findChild<QPushButton *>("browseButton");
    QVERIFY(QDir().mkpath(home->path() + "/Mosaics"));

    SeenDialog dialog;
    AnswerNextFileDialog(&dialog, home->path() + "/Mosaics/beach");
    QTest::mouseClick(browse, Qt::LeftButton);
    QVERIFY(dialog.seen);
    QCOMPARE(dialog.title, QString("Choose output filename"));
    QCOMPARE(dialog.directory, home->path() + "/Pictures");
    QCOMPARE(dialog.nameFilters, QStringList("Images (*.jpg)"));
    QVERIFY(params->outputFilename.startsWith(home->path() + "/Mosaics/beach"));
    QCOMPARE(edit->text(), params->outputFilename);

    SeenDialog cancelled;
    AnswerNextFileDialog(&cancelled, QString());
    QTest::mouseClick(browse, Qt::LeftButton);
    QVERIFY(cancelled.seen);
    QVERIFY(edit->text().isEmpty());
    QVERIFY(params->outputFilename.isEmpty());
    QVERIFY(!page->isComplete());

    // An existing output file is where the next dialog opens.
    const QString existing = home->path() + "/Mosaics/old.jpg";
    QVERIFY(WriteText(existing, "x"));
    QTest::keyClicks(edit, existing);
    SeenDialog next;
    AnswerNextFileDialog(&next, QString());
    QTest::mouseClick(browse, Qt::LeftButton);
    QCOMPARE(next.directory, home->path() + "/Mosaics");
}

QTEST_MAIN(TstChooseOptionsPage)
#include "tst_chooseoptionspage.moc"
