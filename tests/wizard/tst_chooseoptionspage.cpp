#include "WizardKit.h"

#include "wizard/ChooseOptionsPage.h"

#include <QCheckBox>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

// The pages only count the records, so they need no files.
static void AddRecords(ImageDB &db, int usable, int unusable = 0)
{
    for (int i = 0; i < usable + unusable; ++i)
        db.Add(QString("/c/%1.jpg").arg(i));
    for (int i = 0; i < unusable; ++i)
        db.SkipImage(QString("/c/%1.jpg").arg(i));
}

class TstChooseOptionsPage : public QObject {
    Q_OBJECT
private slots:
    void init() { f.emplace(); }
    void cleanup() { f.reset(); }

    void controlsSetTheRecord();
    void noteWhenTilesStayEmpty();
    void outputName();
    void outputCheckedOnNext_data();
    void outputCheckedOnNext();

private:
    QSpinBox *spin(const char *name) { return f->page.findChild<QSpinBox *>(name); }
    void enter(int images);
    void typeInto(const char *name, int value);

    std::optional<PageInHome<ChooseOptionsPage>> f;
    ImagePosterParameters &params() { return f->params; }
};

void TstChooseOptionsPage::enter(int images)
{
    AddRecords(params().imageDB, images);
    QVERIFY(Shown(&f->page));
    f->page.initializePage();
}

void TstChooseOptionsPage::typeInto(const char *name, int value)
{
    spin(name)->setFocus();
    spin(name)->selectAll();
    QTest::keyClicks(spin(name), QString::number(value));
    QTest::keyClick(spin(name), Qt::Key_Return);
}

// Raising the repetitions with the tiles, keeping what was raised and the
// resolution following the tiles are walked through by tst_wizardwalk.
void TstChooseOptionsPage::controlsSetTheRecord()
{
    enter(500);
    typeInto("divisionsSpinBox", 63);   // 3969 tiles need 8 uses of 500 pictures
    // Typed repetitions below the need are corrected, on screen from the
    // record 100 ms later; above it they stand.
    typeInto("repeatsSpinBox", 3);
    QCOMPARE(params().repeats, 8);
    QTRY_COMPARE(spin("repeatsSpinBox")->value(), 8);
    typeInto("repeatsSpinBox", 25);
    typeInto("blendSpinBox", 35);
    QVERIFY(params().repeats == 25 && params().blend == 35);

    // A resolution set by the user no longer follows the tiles, also after
    // entering the page again.
    typeInto("targetResSpinBox", 2500);
    typeInto("divisionsSpinBox", 40);
    QCOMPARE(params().targetResolution, 2500);
    f->page.initializePage();
    QCOMPARE(spin("targetResSpinBox")->value(), 2500);

    // Off and 0 at first, as a run with the defaults needs.
    auto *optimal = f->page.findChild<QCheckBox *>("optimalCheckBox");
    QVERIFY(!optimal->isChecked() && !params().optimalArrangement);
    QVERIFY(spin("spacingSpinBox")->value() == 0 && spin("spacingSpinBox")->maximum() == 20);
    optimal->click();
    typeInto("spacingSpinBox", 3);
    QVERIFY(params().optimalArrangement && params().spacing == 3);
}

// The note follows the number of tiles and the spacing; repetitions stop at
// 99. Pictures that could not be read fill no tiles.
void TstChooseOptionsPage::noteWhenTilesStayEmpty()
{
    ImagePosterWizard wizard;
    AddRecords(wizard.parameters()->imageDB, 130, 20);
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
    auto *edit = f->page.findChild<QLineEdit *>("filenameEdit");
    auto *browse = f->page.findChild<QPushButton *>("browseButton");
    // Any text will do, without a folder or a suffix, stored as typed.
    edit->selectAll();
    QTest::keyClicks(edit, "m");
    QCOMPARE(params().outputFilename, QString("m"));

    QVERIFY(QDir().mkpath(f->home.in("Mosaics")));
    const SeenDialog dialog = ChooseWith(browse, f->home.in("Mosaics/beach"));
    QVERIFY(dialog.title == "Choose output filename" && dialog.nameFilters == QStringList("Images (*.jpg)"));
    QCOMPARE(dialog.directory, f->home.in("Pictures"));
    QVERIFY(params().outputFilename.startsWith(f->home.in("Mosaics/beach")));
    QCOMPARE(edit->text(), params().outputFilename);

    // Cancelling the dialog empties the name, and Next goes off.
    QVERIFY(ChooseWith(browse, QString()).seen);
    QVERIFY(edit->text().isEmpty() && params().outputFilename.isEmpty() && !f->page.isComplete());

    // An existing output file is where the next dialog opens.
    QVERIFY(Store(f->home.in("Mosaics/old.jpg"), "x"));
    QTest::keyClicks(edit, f->home.in("Mosaics/old.jpg"));
    QVERIFY(f->page.isComplete());
    QCOMPARE(ChooseWith(browse, QString()).directory, f->home.in("Mosaics"));
}

// A new file passes as the walk's mosaic does.
void TstChooseOptionsPage::outputCheckedOnNext_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("answer");   // to the question whether to replace, if asked
    QTest::addColumn<QString>("problem");
    QTest::addColumn<bool>("onward");
    const auto row = [](const char *tag, const char *name, const char *answer, const QString &problem, bool onward) {
        QTest::newRow(tag) << name << answer << problem << onward;
    };
    row("folder missing", "missing/mosaic.jpg", "",
        "Cannot save the mosaic as ~/missing/mosaic.jpg: the folder ~/missing does not exist.", false);
    row("existing, kept", "old.jpg", "No", "", false);
    row("existing, replaced", "old.jpg", "Yes", "", true);
}

void TstChooseOptionsPage::outputCheckedOnNext()
{
    QFETCH(QString, name);
    QFETCH(QString, answer);
    QFETCH(QString, problem);
    QFETCH(bool, onward);
    QVERIFY(Store(f->home.in("old.jpg"), "kept"));
    params().outputFilename = f->home.in(name);
    enter(0);
    QPointer<QTimer> guard = WhenModal([&](QWidget *modal) {
        qobject_cast<QMessageBox *>(modal)->button(answer == "Yes" ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    QCOMPARE(f->page.validatePage(), onward);
    delete guard;
    const auto *shown = f->page.findChild<QLabel *>("outputProblem");
    QCOMPARE(shown->isVisible() ? shown->text() : QString(), QString(problem).replace("~", f->home.path()));
    QCOMPARE(QDir(f->home.path()).entryList(QDir::Files | QDir::Hidden), QStringList("old.jpg"));
}

QTEST_MAIN(TstChooseOptionsPage)
#include "tst_chooseoptionspage.moc"
