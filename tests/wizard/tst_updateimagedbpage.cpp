#include "WizardKit.h"

#include "wizard/UpdateImageDBPage.h"

#include <QMutexLocker>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

class TstUpdateImageDBPage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup() { f.reset(); }

    void noUsablePictureStays();
    void longNamesShowTheirLastComponents_data();
    void longNamesShowTheirLastComponents();
    void backDuringScan_data();
    void backDuringScan();

private:
    void toUpdatePage();
    void click(QWizard::WizardButton which) { f->wizard.button(which)->click(); }

    std::optional<WizardInHome> f;
};

void TstUpdateImageDBPage::init()
{
    f.emplace();
    QVERIFY(StorePicture(f->home.in("source.jpg"), Solid(64, 48, {90, 140, 200})));
    f->wizard.init(1, f->home.in("pictures.db"));   // named, not there yet
}

void TstUpdateImageDBPage::toUpdatePage()
{
    QVERIFY(Shown(&f->wizard));
    TypeAndReturn(f->wizard.page(0)->findChild<QLineEdit *>("filenameEdit"), f->home.in("source.jpg"));
    click(QWizard::NextButton);
    click(QWizard::NextButton);
    QCOMPARE(f->wizard.currentId(), 2);
}

// The folder to use, ~/Pictures, is empty.
void TstUpdateImageDBPage::noUsablePictureStays()
{
    QSignalSpy scanned(&f->params.imageDB, &ImageDB::complete);
    toUpdatePage();
    QVERIFY(scanned.count() == 1 || scanned.wait(30000));
    QVERIFY(f->wizard.currentId() == 2 && !f->wizard.button(QWizard::NextButton)->isEnabled());
    const auto *note = f->wizard.page(2)->findChild<QLabel *>("noPicturesLabel");
    QVERIFY(note->isVisible());
    QCOMPARE(note->text(), "No usable pictures in " + f->home.in("Pictures")
                               + ". Go back to choose the folders that hold your pictures.");
    Photograph(f->wizard, "3b-no-usable-pictures");
}

void TstUpdateImageDBPage::longNamesShowTheirLastComponents_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");
    QTest::newRow("long path") << "/very/long/directory/names/that/go/on/and/on/and/on/holiday/beach.jpg"
                               << "on/holiday/beach.jpg";
    const QString bare = QString("x").repeated(200) + ".jpg";
    QTest::newRow("too wide without slash") << bare << bare;
}

void TstUpdateImageDBPage::longNamesShowTheirLastComponents()
{
    QFETCH(QString, name);
    QFETCH(QString, shown);
    UpdateImageDBPage page(&f->params);
    QVERIFY(Shown(&page));
    auto *filenameLabel = page.findChild<QLabel *>("filenameLabel");
    // Room for "on/holiday/beach.jpg" but not for one more component.
    filenameLabel->setFixedWidth(QFontMetrics(page.font()).tightBoundingRect("on/holiday/beach.jpg").width() + 2);
    emit f->params.imageDB.progress(42, name);
    QCOMPARE(filenameLabel->text(), shown);
    QCOMPARE(page.findChild<QProgressBar *>("progressBar")->value(), 42);
}

void TstUpdateImageDBPage::backDuringScan_data()
{
    QTest::addColumn<QString>("then");   // what the user does on the folders page while the scan runs
    QTest::newRow("Next: follows the running scan") << "next";
    QTest::newRow("changes choices, Next: scans again afterwards") << "exclude";
    QTest::newRow("stays: the scan ends and is saved") << "stay";
}

void TstUpdateImageDBPage::backDuringScan()
{
    QFETCH(QString, then);
    QVERIFY(StoreCollection(f->home.in("Pictures"), 60));
    QVERIFY(StoreCollection(f->home.in("Pictures/Old"), 10));
    QSignalSpy scansDone(&f->params.imageDB, &ImageDB::complete);
    // The scan threads report each picture under the database's lock, so
    // holding it keeps the scan running, however fast the machine, until the
    // user has gone Back and Next.
    QMutexLocker gate(&f->params.imageDB.mutex);
    toUpdatePage();
    QTRY_VERIFY(f->params.imageDB.IsUpdating());
    click(QWizard::BackButton);
    QCOMPARE(f->wizard.currentId(), 1);
    if (then == "exclude")
        ChooseWith(f->wizard.page(1)->findChild<QPushButton *>("addNotUseButton"), f->home.in("Pictures/Old"));
    if (then == "stay") {
        gate.unlock();
        QVERIFY(scansDone.wait(120000));
        QVERIFY(f->wizard.currentId() == 1 && QFile::exists(f->home.in("pictures.db")));
        gate.relock();
    }
    QSignalSpy pages(&f->wizard, &QWizard::currentIdChanged);
    QSignalSpy started(f->wizard.page(2), &QWizardPage::completeChanged);
    click(QWizard::NextButton);
    QTRY_VERIFY(started.count() > 0);
    QVERIFY(f->params.imageDB.IsUpdating());
    gate.unlock();

    QTRY_COMPARE_WITH_TIMEOUT(f->wizard.currentId(), 3, 120000);
    QVERIFY(!f->params.imageDB.IsUpdating());
    QCOMPARE(scansDone.count(), then == "stay" ? 2 : 1);
    QCOMPARE(pages.count(), 2);   // update page, then options page, once each
    ImageDB saved;
    QVERIFY(saved.Read(f->home.in("pictures.db")));
    QCOMPARE(saved.GetNumUsableImages(), then == "exclude" ? 60 : 70);
    QCOMPARE(saved.excludedDirectories, then == "exclude" ? QStringList(f->home.in("Pictures/Old")) : QStringList());
}

QTEST_MAIN(TstUpdateImageDBPage)
#include "tst_updateimagedbpage.moc"
