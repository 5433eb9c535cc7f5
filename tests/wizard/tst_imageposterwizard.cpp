#include "WizardTestSupport.h"

#include "engine/Notice.h"
#include "wizard/ChooseDirectoriesPage.h"
#include "wizard/ChooseOptionsPage.h"
#include "wizard/ChoosePicturePage.h"
#include "wizard/GeneratePage.h"
#include "wizard/ImagePosterWizard.h"
#include "wizard/UpdateImageDBPage.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QListWidget>
#include <QThread>
#include <QtTest>

using namespace WizardTest;

class TstImagePosterWizard : public QObject {
    Q_OBJECT
private slots:
    void frame();
    void pagesInOrder();
    void licenseDialogFromHelpButton();
    void initTakesCommandLineValues_data();
    void initTakesCommandLineValues();
    void initRestoresChoicesFromDatabase();
    void noticesReachTheUser_data();
    void noticesReachTheUser();
};

void TstImagePosterWizard::frame()
{
    ImagePosterWizard wizard;
    QVERIFY(wizard.windowTitle().startsWith("Kestrelvanepatchery 0.2 "));
    QVERIFY(wizard.windowTitle().contains("2026 the Kestrelvanepatchery developers"));

    QCOMPARE(wizard.windowIcon().availableSizes().value(0), QSize(32, 32));
    QCOMPARE(wizard.pixmap(QWizard::BackgroundPixmap).size(), QSize(168, 400));

    QVERIFY(wizard.testOption(QWizard::HaveHelpButton));
    QVERIFY(!wizard.testOption(QWizard::HelpButtonOnRight));
    QCOMPARE(wizard.buttonText(QWizard::HelpButton), QString("License..."));

    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard));
    QAbstractButton *help = wizard.button(QWizard::HelpButton);
    QAbstractButton *next = wizard.button(QWizard::NextButton);
    QVERIFY(help->isVisible());
    QVERIFY(help->mapTo(&wizard, QPoint()).x() < next->mapTo(&wizard, QPoint()).x());
}

void TstImagePosterWizard::pagesInOrder()
{
    ImagePosterWizard wizard;
    QCOMPARE(wizard.pageIds(), QList<int>({0, 1, 2, 3, 4}));
    QVERIFY(qobject_cast<ChoosePicturePage *>(wizard.page(0)));
    QVERIFY(qobject_cast<ChooseDirectoriesPage *>(wizard.page(1)));
    QVERIFY(qobject_cast<UpdateImageDBPage *>(wizard.page(2)));
    QVERIFY(qobject_cast<ChooseOptionsPage *>(wizard.page(3)));
    QVERIFY(qobject_cast<GeneratePage *>(wizard.page(4)));
    QVERIFY(wizard.page(4)->isFinalPage());

    wizard.show();
    QCOMPARE(wizard.currentId(), 0);
}

void TstImagePosterWizard::licenseDialogFromHelpButton()
{
    const QString licenseFile = QFINDTESTDATA("../../LICENSE");
    QVERIFY(!licenseFile.isEmpty());
    QFile file(licenseFile);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QString license = QString::fromUtf8(file.readAll());
    QVERIFY(license.contains("the Kestrelvanepatchery developers"));

    ImagePosterWizard wizard;
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard));

    SeenBox box;
    AcceptNextMessageBox(&box);
    wizard.button(QWizard::HelpButton)->click();
    QVERIFY(box.seen);
    QCOMPARE(box.title, QString("Kestrelvanepatchery License"));
    QCOMPARE(box.textFormat, Qt::RichText);
    QCOMPARE(box.detailedText, license);
    QVERIFY(!box.text.isEmpty());
    QVERIFY(!box.windowIcon.isNull());
    QVERIFY(box.width >= 65 * QFontMetrics(wizard.font()).boundingRect('X').width());
    QCOMPARE(wizard.currentId(), 0);
}

void TstImagePosterWizard::initTakesCommandLineValues_data()
{
    QTest::addColumn<int>("numThreads");
    QTest::addColumn<QString>("databaseName");   // relative to the home directory; empty: none given
    QTest::addColumn<QString>("expectedName");

    QTest::newRow("defaults") << -1 << QString() << QString("imagedb");
    QTest::newRow("both given") << 3 << QString("other.db") << QString("other.db");
    QTest::newRow("missing file") << 1 << QString("none/there.db") << QString("none/there.db");
}

void TstImagePosterWizard::initTakesCommandLineValues()
{
    QFETCH(int, numThreads);
    QFETCH(QString, databaseName);
    QFETCH(QString, expectedName);

    TemporaryHome home;
    ImagePosterWizard wizard;
    wizard.init(numThreads, databaseName.isEmpty() ? QString() : home.path() + "/" + databaseName);
    ImagePosterParameters *params = wizard.parameters();
    QCOMPARE(params->numThreads, numThreads);
    QCOMPARE(params->imageDBFilename, home.path() + "/" + expectedName);
    // Nothing to read: the defaults stand.
    QCOMPARE(params->imageStrategy, int(ImageDB::StrategyFast));
    QCOMPARE(params->useDirectories, QStringList(home.path() + "/Pictures"));
    QVERIFY(params->notUseDirectories.isEmpty());
    QCOMPARE(params->imageDB.GetNumImages(), 0);
}

void TstImagePosterWizard::initRestoresChoicesFromDatabase()
{
    TemporaryHome home;
    const QString databaseFile = home.path() + "/stored.db";
    const QStringList use = {home.path() + "/Holidays", home.path() + "/Family"};
    const QStringList exclude = {home.path() + "/Family/Scans"};
    {
        ImageDB db;
        db.strategy = ImageDB::StrategyFastest;
        db.directories = use;
        db.excludedDirectories = exclude;
        QVERIFY(db.Write(databaseFile));
    }

    ImagePosterWizard wizard;
    wizard.init(-1, databaseFile);
    ImagePosterParameters *params = wizard.parameters();
    QCOMPARE(params->imageStrategy, int(ImageDB::StrategyFastest));
    QCOMPARE(params->useDirectories, use);
    QCOMPARE(params->notUseDirectories, exclude);

    // The directories page shows what was restored.
    wizard.page(1)->initializePage();
    auto *combo = wizard.page(1)->findChild<QComboBox *>("strategyComboBox");
    auto *useList = wizard.page(1)->findChild<QListWidget *>("useList");
    auto *notUseList = wizard.page(1)->findChild<QListWidget *>("notUseList");
    QCOMPARE(combo->currentIndex(), 2);
    QCOMPARE(useList->count(), 2);
    QCOMPARE(useList->item(1)->text(), use[1]);
    QCOMPARE(notUseList->count(), 1);
    QCOMPARE(notUseList->item(0)->text(), exclude[0]);
}

void TstImagePosterWizard::noticesReachTheUser_data()
{
    QTest::addColumn<bool>("fromWorkerThread");
    QTest::newRow("GUI thread") << false;
    QTest::newRow("worker thread") << true;
}

void TstImagePosterWizard::noticesReachTheUser()
{
    QFETCH(bool, fromWorkerThread);
    ImagePosterWizard wizard;

    SeenBox box;
    AcceptNextMessageBox(&box);
    if (fromWorkerThread) {
        QThread *thread = QThread::create([] { ShowNotice("Tile setup error", "Only 3/4 tiles were scored!"); });
        thread->start();
        QVERIFY(thread->wait(5000));
        delete thread;
    } else {
        ShowNotice("Tile setup error", "Only 3/4 tiles were scored!");
    }
    QTRY_VERIFY(box.seen);
    QCOMPARE(box.title, QString("Tile setup error"));
    QCOMPARE(box.text, QString("Only 3/4 tiles were scored!"));
    QCOMPARE(box.icon, QMessageBox::Critical);
}

QTEST_MAIN(TstImagePosterWizard)
#include "tst_imageposterwizard.moc"
