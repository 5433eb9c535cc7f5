#include "WizardKit.h"

#include "engine/Notice.h"

#include <QThread>
#include <QtTest>

class TstImagePosterWizard : public QObject {
    Q_OBJECT
private slots:
    void frame();
    void texts_data();
    void texts();
    void initTakesCommandLineValues();
};

// The Help button, left of Next, shows the licence as the LICENSE file has it.
void TstImagePosterWizard::frame()
{
    const QByteArray licence = Contents(QFINDTESTDATA("../../LICENSE"));
    ImagePosterWizard wizard;
    QVERIFY(wizard.windowTitle().startsWith("Kestrelvanepatchery 0.2 - Copyright 2026 the Kestrelvanepatchery"));
    QCOMPARE(wizard.pageIds(), QList<int>({0, 1, 2, 3, 4}));
    QVERIFY(Shown(&wizard));
    QAbstractButton *help = wizard.button(QWizard::HelpButton);
    QVERIFY(help->text() == "License..." && help->isVisible());
    QVERIFY(help->mapTo(&wizard, QPoint()).x() < wizard.button(QWizard::NextButton)->mapTo(&wizard, QPoint()).x());
    SeenBox box;
    AcceptNextMessageBox(&box);
    help->click();
    QVERIFY(box.title == "Kestrelvanepatchery License" && box.textFormat == Qt::RichText && box.hasWindowIcon);
    QCOMPARE(box.detailedText, QString::fromUtf8(licence));
    QVERIFY(box.width >= 65 * QFontMetrics(wizard.font()).boundingRect('X').width() && wizard.currentId() == 0);

    // A notice from a worker thread reaches the user.
    box.seen = false;
    AcceptNextMessageBox(&box);
    QThread *thread = QThread::create([] { ShowNotice("Tile setup error", "Only 3/4 tiles were scored!"); });
    thread->start();
    QVERIFY(thread->wait(5000));
    delete thread;
    QTRY_VERIFY(box.seen);
    QVERIFY(box.title == "Tile setup error" && box.text == "Only 3/4 tiles were scored!"
            && box.icon == QMessageBox::Critical);
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

// Without a database file the defaults stay (tst_wizardwalk and
// tst_updateimagedbpage run so).
void TstImagePosterWizard::initTakesCommandLineValues()
{
    TemporaryHome home;
    ImageDB db;
    db.strategy = ImageDB::StrategyFastest;
    db.directories = {home.in("Holidays"), home.in("Family")};
    db.excludedDirectories = {home.in("Family/Scans")};
    QVERIFY(db.Write(home.in("stored.db")));
    ImagePosterWizard wizard;
    wizard.init(3, home.in("stored.db"));
    const ImagePosterParameters *params = wizard.parameters();
    QVERIFY(params->numThreads == 3 && params->imageDBFilename == home.in("stored.db"));
    QCOMPARE(params->imageStrategy, int(ImageDB::StrategyFastest));
    QCOMPARE(params->useDirectories, db.directories);
    QCOMPARE(params->notUseDirectories, db.excludedDirectories);
}

QTEST_MAIN(TstImagePosterWizard)
#include "tst_imageposterwizard.moc"
