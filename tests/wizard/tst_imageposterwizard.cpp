#include "WizardKit.h"

#include "engine/Notice.h"
#include "wizard/ImagePosterWizard.h"

#include <QLabel>
#include <QThread>
#include <QtTest>

class TstImagePosterWizard : public QObject {
    Q_OBJECT
private slots:
    void frame();
    void texts_data();
    void texts();
    void initTakesCommandLineValues_data();
    void initTakesCommandLineValues();
    void noticeFromWorkerThreadReachesTheUser();
};

// The Help button, left of Next, shows the licence as the LICENSE file has it.
void TstImagePosterWizard::frame()
{
    QFile file(QFINDTESTDATA("../../LICENSE"));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    ImagePosterWizard wizard;
    QVERIFY(wizard.windowTitle().startsWith("Kestrelvanepatchery 0.2 - Copyright 2026 the Kestrelvanepatchery"));
    QCOMPARE(wizard.pageIds(), QList<int>({0, 1, 2, 3, 4}));
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard));
    QAbstractButton *help = wizard.button(QWizard::HelpButton);
    QVERIFY(help->text() == "License..." && help->isVisible());
    QVERIFY(help->mapTo(&wizard, QPoint()).x() < wizard.button(QWizard::NextButton)->mapTo(&wizard, QPoint()).x());
    SeenBox box;
    AcceptNextMessageBox(&box);
    help->click();
    QVERIFY(box.title == "Kestrelvanepatchery License" && box.textFormat == Qt::RichText && box.hasWindowIcon);
    QCOMPARE(box.detailedText, QString::fromUtf8(file.readAll()));
    QVERIFY(box.width >= 65 * QFontMetrics(wizard.font()).boundingRect('X').width());
    QCOMPARE(wizard.currentId(), 0);
}

void TstImagePosterWizard::texts_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("subTitle");
    QTest::addColumn<QStringList>("captions");
    QTest::newRow("picture") << 0 << "Choose picture"
                             << "Choose the picture that you want to turn into a photo mosaic."
                             << QStringList{"Filename"};
    QTest::newRow("directories") << 1 << "Choose picture directories"
                                 << "Choose the directories that contain the pictures you want to assemble into your "
                                    "final photo mosaic. Subdirectories are included. You can also select directories "
                                    "to exclude."
                                 << QStringList{"Image acceleration"};
    QTest::newRow("update") << 2 << "Updating image database"
                            << "This program examines the images it finds and makes a database that enables it to "
                               "more efficiently create the photo mosaic. This can take a while the first time you "
                               "run this program."
                            << QStringList{"Number of usable images:", "Number of unusable images:"};
    QTest::newRow("options") << 3 << "Choose options"
                             << "This page lets you set options that help determine the quality of your photo mosaic. "
                                "The number of tiles influences how much the final photo mosaic will resemble the "
                                "input image."
                             << QStringList{"Number of tiles",    "Output image resolution", "Tile repetitions",
                                            "Source image blend", "Output filename",         "Optimal arrangement",
                                            "Minimum spacing"};
    QTest::newRow("generate") << 4 << "Generate photo mosaic"
                              << "Your photo mosaic is being calculated." << QStringList{};
}

// Every caption explains itself in a tool tip.
void TstImagePosterWizard::texts()
{
    QFETCH(int, page);
    QFETCH(QString, title);
    QFETCH(QString, subTitle);
    QFETCH(QStringList, captions);
    ImagePosterWizard wizard;
    QCOMPARE(wizard.page(page)->title(), title);
    QCOMPARE(wizard.page(page)->subTitle(), subTitle);
    QStringList shown;
    for (QLabel *label : wizard.page(page)->findChildren<QLabel *>())
        if (label->objectName().isEmpty() && !label->text().isEmpty()) {
            shown << label->text();
            QVERIFY2(!label->toolTip().isEmpty(), qPrintable(label->text()));
        }
    QCOMPARE(shown, captions);
}

void TstImagePosterWizard::initTakesCommandLineValues_data()
{
    QTest::addColumn<int>("numThreads");
    QTest::addColumn<QString>("databaseName");   // relative to the home directory; empty: none given
    QTest::addColumn<QString>("expectedName");
    QTest::addColumn<bool>("stored");   // a database file with the user's choices exists

    QTest::newRow("defaults") << -1 << QString() << QString("imagedb") << false;
    QTest::newRow("missing file") << 3 << QString("none/there.db") << QString("none/there.db") << false;
    QTest::newRow("stored choices") << -1 << QString("stored.db") << QString("stored.db") << true;
}

void TstImagePosterWizard::initTakesCommandLineValues()
{
    QFETCH(int, numThreads);
    QFETCH(QString, databaseName);
    QFETCH(QString, expectedName);
    QFETCH(bool, stored);

    TemporaryHome home;
    const QStringList use = {home.path() + "/Holidays", home.path() + "/Family"};
    const QStringList exclude = {home.path() + "/Family/Scans"};
    if (stored) {
        ImageDB db;
        db.strategy = ImageDB::StrategyFastest;
        db.directories = use;
        db.excludedDirectories = exclude;
        QVERIFY(db.Write(home.path() + "/" + databaseName));
    }
    ImagePosterWizard wizard;
    wizard.init(numThreads, databaseName.isEmpty() ? QString() : home.path() + "/" + databaseName);
    ImagePosterParameters *params = wizard.parameters();
    QCOMPARE(params->numThreads, numThreads);
    QCOMPARE(params->imageDBFilename, home.path() + "/" + expectedName);
    QCOMPARE(params->imageStrategy, int(stored ? ImageDB::StrategyFastest : ImageDB::StrategyFast));
    QCOMPARE(params->useDirectories, stored ? use : QStringList(home.path() + "/Pictures"));
    QCOMPARE(params->notUseDirectories, stored ? exclude : QStringList());
}

void TstImagePosterWizard::noticeFromWorkerThreadReachesTheUser()
{
    ImagePosterWizard wizard;
    SeenBox box;
    AcceptNextMessageBox(&box);
    QThread *thread = QThread::create([] { ShowNotice("Tile setup error", "Only 3/4 tiles were scored!"); });
    thread->start();
    QVERIFY(thread->wait(5000));
    delete thread;
    QTRY_VERIFY(box.seen);
    QVERIFY(box.title == "Tile setup error" && box.text == "Only 3/4 tiles were scored!");
    QCOMPARE(box.icon, QMessageBox::Critical);
}

QTEST_MAIN(TstImagePosterWizard)
#include "tst_imageposterwizard.moc"
