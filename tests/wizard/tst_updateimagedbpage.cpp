#include "WizardKit.h"

#include "wizard/ImagePosterWizard.h"
#include "wizard/UpdateImageDBPage.h"

#include <QListWidget>
#include <QMutexLocker>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

class TstUpdateImageDBPage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void noUsablePictureStays();
    void longNamesShowTheirLastComponents_data();
    void longNamesShowTheirLastComponents();
    void backDuringScanThenForwardAgain_data();
    void backDuringScanThenForwardAgain();
    void backDuringScanStaysBack();

private:
    void toUpdatePage();
    void click(QWizard::WizardButton which) { wizard->button(which)->click(); }
    QString label(const char *name) { return wizard->page(2)->findChild<QLabel *>(name)->text(); }

    TemporaryHome *home = nullptr;
    ImagePosterWizard *wizard = nullptr;
    ImagePosterParameters *params = nullptr;
    QString databaseFile;
};

void TstUpdateImageDBPage::init()
{
    home = new TemporaryHome;
    QVERIFY(QDir().mkpath(home->path() + "/Pictures"));
    QVERIFY(StorePicture(home->path() + "/source.jpg", Solid(64, 48, {90, 140, 200})));
    databaseFile = home->path() + "/imagedb";
    wizard = new ImagePosterWizard;
    wizard->init(1, databaseFile);
    params = wizard->parameters();
}

void TstUpdateImageDBPage::cleanup()
{
    delete wizard;
    delete home;
}

void TstUpdateImageDBPage::toUpdatePage()
{
    wizard->show();
    QVERIFY(QTest::qWaitForWindowExposed(wizard));
    TypeAndReturn(wizard->page(0)->findChild<QLineEdit *>("filenameEdit"), home->path() + "/source.jpg");
    click(QWizard::NextButton);
    click(QWizard::NextButton);
    QCOMPARE(wizard->currentId(), 2);
}

// The folder to use, ~/Pictures, is empty.
void TstUpdateImageDBPage::noUsablePictureStays()
{
    QSignalSpy scanned(&params->imageDB, &ImageDB::complete);
    toUpdatePage();
    QVERIFY(scanned.count() == 1 || scanned.wait(30000));
    QCOMPARE(wizard->currentId(), 2);
    QVERIFY(!wizard->button(QWizard::NextButton)->isEnabled());
    const auto *note = wizard->page(2)->findChild<QLabel *>("noPicturesLabel");
    QVERIFY(note->isVisible());
    QCOMPARE(note->text(), "No usable pictures in " + home->path()
                               + "/Pictures. Go back to choose the folders that hold your pictures.");
    Photograph(*wizard, "3b-no-usable-pictures");
}

void TstUpdateImageDBPage::longNamesShowTheirLastComponents_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");
    const QString deep = "/very/long/directory/names/that/go/on/and/on/and/on/holiday/beach.jpg";
    QTest::newRow("long path") << deep << "on/holiday/beach.jpg";
    const QString bare = QString("x").repeated(200) + ".jpg";
    QTest::newRow("too wide without slash") << bare << bare;
}

void TstUpdateImageDBPage::longNamesShowTheirLastComponents()
{
    QFETCH(QString, name);
    QFETCH(QString, shown);
    ImagePosterParameters params;
    params.imageDB.Add("/c/one.jpg");
    params.imageDB.Add("/c/two.jpg");
    params.imageDB.SkipImage("/c/two.jpg");
    UpdateImageDBPage page(&params);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    auto *filenameLabel = page.findChild<QLabel *>("filenameLabel");
    // Room for "on/holiday/beach.jpg" but not for one more component.
    filenameLabel->setFixedWidth(QFontMetrics(page.font()).tightBoundingRect("on/holiday/beach.jpg").width() + 2);

    emit params.imageDB.progress(42, name);
    QCOMPARE(filenameLabel->text(), shown);
    QCOMPARE(page.findChild<QProgressBar *>("progressBar")->value(), 42);
    QCOMPARE(page.findChild<QLabel *>("usableLabel")->text(), QString("1"));
    QCOMPARE(page.findChild<QLabel *>("unusableLabel")->text(), QString("1"));
}

void TstUpdateImageDBPage::backDuringScanThenForwardAgain_data()
{
    QTest::addColumn<bool>("excludeMeanwhile");
    QTest::newRow("same choices: follows the running scan") << false;
    QTest::newRow("changed choices: scans again afterwards") << true;
}

void TstUpdateImageDBPage::backDuringScanThenForwardAgain()
{
    QFETCH(bool, excludeMeanwhile);
    QVERIFY(StoreCollection(home->path() + "/Pictures", 60));
    QVERIFY(StoreCollection(home->path() + "/Pictures/Old", 10));
    QSignalSpy scansDone(&params->imageDB, &ImageDB::complete);
    // The scan threads report each picture under the database's lock, so
    // holding it keeps the scan running, however fast the machine, until the
    // user has gone Back and Next.
    QMutexLocker gate(&params->imageDB.mutex);
    toUpdatePage();
    QTRY_VERIFY(params->imageDB.IsUpdating());

    click(QWizard::BackButton);
    QCOMPARE(wizard->currentId(), 1);
    if (excludeMeanwhile)
        ChooseWith(wizard->page(1)->findChild<QPushButton *>("addNotUseButton"), home->path() + "/Pictures/Old");
    QSignalSpy pages(wizard, &QWizard::currentIdChanged);
    QSignalSpy started(wizard->page(2), &QWizardPage::completeChanged);
    click(QWizard::NextButton);
    QTRY_VERIFY(started.count() > 0);
    QVERIFY(params->imageDB.IsUpdating());
    QVERIFY(!wizard->button(QWizard::NextButton)->isEnabled());
    gate.unlock();

    QTRY_COMPARE_WITH_TIMEOUT(wizard->currentId(), 3, 120000);
    QVERIFY(!params->imageDB.IsUpdating());
    QCOMPARE(scansDone.count(), 1);
    QCOMPARE(pages.count(), 2);   // update page, then options page, once each

    ImageDB saved;
    QVERIFY(saved.Read(databaseFile));
    QCOMPARE(saved.GetNumUsableImages(), excludeMeanwhile ? 60 : 70);
    QCOMPARE(saved.excludedDirectories, excludeMeanwhile ? QStringList(home->path() + "/Pictures/Old") : QStringList());
}

void TstUpdateImageDBPage::backDuringScanStaysBack()
{
    QVERIFY(StoreCollection(home->path() + "/Pictures", 40));
    QSignalSpy scansDone(&params->imageDB, &ImageDB::complete);
    QMutexLocker gate(&params->imageDB.mutex);   // the scan runs on until Back is done
    toUpdatePage();
    QTRY_VERIFY(params->imageDB.IsUpdating());
    click(QWizard::BackButton);
    gate.unlock();

    // The scan finishes and is saved, and the wizard stays where the user is.
    QVERIFY(scansDone.wait(120000));
    QCOMPARE(wizard->currentId(), 1);
    QVERIFY(QFile::exists(databaseFile));
    click(QWizard::BackButton);
    click(QWizard::NextButton);
    click(QWizard::NextButton);
    QTRY_COMPARE_WITH_TIMEOUT(wizard->currentId(), 3, 30000);
    QCOMPARE(scansDone.count(), 2);
    QCOMPARE(label("usableLabel"), QString("40"));
}

QTEST_MAIN(TstUpdateImageDBPage)
#include "tst_updateimagedbpage.moc"
