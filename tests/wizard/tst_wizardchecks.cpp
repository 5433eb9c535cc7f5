#include "WizardKit.h"

#include "wizard/ChooseOptionsPage.h"
#include "wizard/ImagePosterWizard.h"

#include <QSignalSpy>
#include <QSpinBox>
#include <QtTest>

// For the README (scripts/screenshots.sh), with KVP_SCREENSHOT_DIR set.
static void Photograph(QWidget &window, const QString &name)
{
    if (!qEnvironmentVariableIsEmpty("KVP_SCREENSHOT_DIR"))
        QVERIFY(window.grab().save(qEnvironmentVariable("KVP_SCREENSHOT_DIR") + "/" + name + ".png"));
}

// What the wizard finds out before the work: no usable picture, tiles the
// collection cannot fill, an output file that cannot be made or would be
// replaced.
class TstWizardChecks : public QObject {
    Q_OBJECT
private slots:
    void noUsablePictureStays();
    void noteWhenTilesStayEmpty();
    void outputCheckedOnNext_data();
    void outputCheckedOnNext();
};

// The default folder to use, ~/Pictures, is not there.
void TstWizardChecks::noUsablePictureStays()
{
    TemporaryHome home;
    QVERIFY(StorePicture(home.path() + "/source.jpg", Gradient(64, 48)));
    ImagePosterWizard wizard;
    wizard.init(1, home.path() + "/imagedb");
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard));
    QSignalSpy scanned(&wizard.parameters()->imageDB, &ImageDB::complete);
    TypeAndReturn(wizard.page(0)->findChild<QLineEdit *>("filenameEdit"), home.path() + "/source.jpg");
    wizard.next();
    wizard.next();
    QVERIFY(scanned.count() == 1 || scanned.wait(30000));
    QCOMPARE(wizard.currentId(), 2);
    QVERIFY(!wizard.button(QWizard::NextButton)->isEnabled());
    const auto *label = wizard.page(2)->findChild<QLabel *>("noPicturesLabel");
    QVERIFY(label->isVisible());
    QCOMPARE(label->text(), "No usable pictures in " + home.path()
                                + "/Pictures. Go back to choose the folders that hold your pictures.");
    Photograph(wizard, "3b-no-usable-pictures");
}

// The note follows the number of tiles and the spacing; repetitions stop at 99.
void TstWizardChecks::noteWhenTilesStayEmpty()
{
    ImagePosterWizard wizard;
    for (int i = 0; i < 130; ++i)
        wizard.parameters()->imageDB.Add(QString("/c/%1.jpg").arg(i));
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

void TstWizardChecks::outputCheckedOnNext_data()
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
    QTest::newRow("parent is a file") << "old.jpg/mosaic.jpg"
                                      << ""
                                      << "Cannot save the mosaic as ~/old.jpg/mosaic.jpg: ~/old.jpg is not a folder."
                                      << false;
    QTest::newRow("existing, kept") << "old.jpg"
                                    << "No"
                                    << "" << false;
    QTest::newRow("existing, replaced") << "old.jpg"
                                        << "Yes"
                                        << "" << true;
}

void TstWizardChecks::outputCheckedOnNext()
{
    QFETCH(QString, name);
    QFETCH(QString, answer);
    QFETCH(QString, problem);
    QFETCH(bool, onward);
    TemporaryHome home;
    QVERIFY(Store(home.path() + "/old.jpg", "kept"));
    ImagePosterParameters params;
    params.outputFilename = home.path() + "/" + name;
    ChooseOptionsPage page(&params);
    page.initializePage();
    page.show();
    QPointer<QTimer> guard = WhenModal([&](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        box->button(answer == "Yes" ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    QCOMPARE(page.validatePage(), onward);
    delete guard;
    const auto *shown = page.findChild<QLabel *>("outputProblem");
    QVERIFY(shown);
    QCOMPARE(shown->isVisible() ? shown->text() : QString(), QString(problem).replace("~", home.path()));
    QCOMPARE(QDir(home.path()).entryList(QDir::Files | QDir::Hidden), QStringList("old.jpg"));
}

QTEST_MAIN(TstWizardChecks)
#include "tst_wizardchecks.moc"
