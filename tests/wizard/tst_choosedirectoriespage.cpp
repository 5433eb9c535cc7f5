#include "WizardKit.h"

#include "engine/ImagePosterParameters.h"
#include "wizard/ChooseDirectoriesPage.h"

#include <QComboBox>
#include <QGroupBox>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

class TstChooseDirectoriesPage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void removeAndAddDirectories();
    void sameDirectoryIgnoringCaseIsNotAddedTwice_data();
    void sameDirectoryIgnoringCaseIsNotAddedTwice();
    void strategyChoice();

private:
    QListWidget *list(const char *name) { return page->findChild<QListWidget *>(name); }
    QPushButton *button(const char *name) { return page->findChild<QPushButton *>(name); }
    SeenDialog add(const char *buttonName, const QString &dir) { return ChooseWith(button(buttonName), dir); }
    QString in(const QString &dir) const { return home->path() + "/" + dir; }

    TemporaryHome *home = nullptr;
    ImagePosterParameters *params = nullptr;
    ChooseDirectoriesPage *page = nullptr;
};

void TstChooseDirectoriesPage::init()
{
    home = new TemporaryHome;
    for (const char *dir : {"Pictures", "Photos/Summer", "Photos/Winter", "Scans"})
        QVERIFY(QDir().mkpath(in(dir)));
    params = new ImagePosterParameters;
    page = new ChooseDirectoriesPage(params);
    page->show();
    QVERIFY(QTest::qWaitForWindowExposed(page));
    page->initializePage();
}

void TstChooseDirectoriesPage::cleanup()
{
    delete page;
    delete params;
    delete home;
}

void TstChooseDirectoriesPage::removeAndAddDirectories()
{
    // On entry the record is shown with the first row selected.
    QCOMPARE(list("useList")->currentRow(), 0);
    QVERIFY(button("removeUseButton")->isEnabled());
    QVERIFY(!button("removeNotUseButton")->isEnabled());
    QSignalSpy completeChanged(page, &QWizardPage::completeChanged);
    QTest::mouseClick(button("removeUseButton"), Qt::LeftButton);
    QVERIFY(params->useDirectories.isEmpty());
    QCOMPARE(list("useList")->count(), 0);
    QVERIFY(!page->isComplete());
    page->removeUseDirectory();   // nothing selected: nothing happens
    QCOMPARE(completeChanged.count(), 1);

    // A cancelled dialog changes nothing.
    QVERIFY(add("addUseButton", QString()).seen);
    QCOMPARE(completeChanged.count(), 1);
    add("addUseButton", in("Photos/Summer"));
    add("addUseButton", in("Photos/Winter"));
    add("addUseButton", in("Scans"));
    QCOMPARE(params->useDirectories, QStringList({in("Photos/Summer"), in("Photos/Winter"), in("Scans")}));
    QCOMPARE(list("useList")->currentRow(), 2);
    QVERIFY(page->isComplete());
    QCOMPARE(completeChanged.count(), 4);

    // Picking a row with the mouse lets the user remove that one.
    QListWidget *useList = list("useList");
    QTest::mouseClick(useList->viewport(), Qt::LeftButton, Qt::NoModifier,
                      useList->visualItemRect(useList->item(1)).center());
    QTest::mouseClick(button("removeUseButton"), Qt::LeftButton);
    QCOMPARE(params->useDirectories, QStringList({in("Photos/Summer"), in("Scans")}));

    // The exclude list is separate and a directory may stand in both.
    add("addNotUseButton", in("Scans"));
    QCOMPARE(params->notUseDirectories, QStringList(in("Scans")));
    QVERIFY(button("removeNotUseButton")->isEnabled());
    QCOMPARE(params->useDirectories.size(), 2);
}

void TstChooseDirectoriesPage::sameDirectoryIgnoringCaseIsNotAddedTwice_data()
{
    QTest::addColumn<QString>("added");
    QTest::addColumn<int>("expectedCount");
    QTest::newRow("other case") << "PHOTOS/summer" << 1;
    QTest::newRow("different") << "Photos/Winter" << 2;
}

void TstChooseDirectoriesPage::sameDirectoryIgnoringCaseIsNotAddedTwice()
{
    QFETCH(QString, added);
    QFETCH(int, expectedCount);
    QVERIFY(QDir().mkpath(in(added)));
    params->useDirectories = params->notUseDirectories = QStringList(in("Photos/Summer"));
    page->initializePage();
    for (const char *name : {"addUseButton", "addNotUseButton"})
        add(name, in(added));
    QCOMPARE(params->useDirectories.size(), expectedCount);
    QCOMPARE(params->notUseDirectories.size(), expectedCount);
    QCOMPARE(list("useList")->count(), expectedCount);

    // Either way the next dialog opens in the parent of the one chosen.
    QCOMPARE(QDir(add("addUseButton", QString()).directory).canonicalPath(), QDir(in(added + "/..")).canonicalPath());
}

void TstChooseDirectoriesPage::strategyChoice()
{
    auto *combo = page->findChild<QComboBox *>("strategyComboBox");
    QCOMPARE(combo->currentIndex(), 1);
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(params->imageStrategy, int(ImageDB::StrategyFastest));
    QTest::keyClick(combo, Qt::Key_Up);
    QTest::keyClick(combo, Qt::Key_Up);
    QCOMPARE(params->imageStrategy, int(ImageDB::StrategyNone));

    // Entering again shows the stored choice.
    params->imageStrategy = ImageDB::StrategyFastest;
    page->initializePage();
    QCOMPARE(combo->currentIndex(), 2);
}

QTEST_MAIN(TstChooseDirectoriesPage)
#include "tst_choosedirectoriespage.moc"
