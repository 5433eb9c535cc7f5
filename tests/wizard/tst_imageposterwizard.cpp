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

// Every page says what it is for, and every caption explains itself in a
// tool tip; the words themselves are the forms' own.
void TstImagePosterWizard::texts()
{
    ImagePosterWizard wizard;
    int captions = 0;
    for (const int id : wizard.pageIds()) {
        QVERIFY(!wizard.page(id)->title().isEmpty() && !wizard.page(id)->subTitle().isEmpty());
        for (QLabel *label : wizard.page(id)->findChildren<QLabel *>())
            if (label->objectName().isEmpty() && !label->text().isEmpty()) {
                ++captions;
                QVERIFY2(!label->toolTip().isEmpty(), qPrintable(label->text()));
            }
    }
    QCOMPARE(captions, 11);
}

void TstImagePosterWizard::initTakesCommandLineValues_data()
{
    QTest::addColumn<int>("numThreads");
    QTest::addColumn<QString>("databaseName");   // relative to the home directory
    QTest::addColumn<bool>("stored");            // a database file with the user's choices exists

    QTest::newRow("missing file") << 3 << QString("none/there.db") << false;
    QTest::newRow("stored choices") << -1 << QString("stored.db") << true;
}

void TstImagePosterWizard::initTakesCommandLineValues()
{
    QFETCH(int, numThreads);
    QFETCH(QString, databaseName);
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
    wizard.init(numThreads, home.path() + "/" + databaseName);
    ImagePosterParameters *params = wizard.parameters();
    QCOMPARE(params->numThreads, numThreads);
    QCOMPARE(params->imageDBFilename, home.path() + "/" + databaseName);
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
