#include "WizardTestSupport.h"

#include "app/ImagePosterParameters.h"
#include "wizard/ChooseDirectoriesPage.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

using namespace WizardTest;

class TstChooseDirectoriesPage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void texts();
    void entryShowsTheRecord();
    void removeAndAddDirectoriesToUse();
    void sameDirectoryIgnoringCaseIsNotAddedTwice_data();
    void sameDirectoryIgnoringCaseIsNotAddedTwice();
    void dialogsStartWhereTheUserLastWas();
    void cancelledDialogChangesNothing();
    void removeWithoutSelectionDoesNothing();
    void selectionEnablesRemove();
    void strategyChoice();

private:
    QListWidget *list(const char *name) { return page->findChild<QListWidget *>(name); }
    QPushButton *button(const char *name) { return page->findChild<QPushButton *>(name); }
    // Presses an add button and answers its dialog; returns what the dialog showed.
    SeenDialog add(const char *buttonName, const QString &directory);

    TemporaryHome *home = nullptr;
    ImagePosterParameters *params = nullptr;
    ChooseDirectoriesPage *page = nullptr;
};

void TstChooseDirectoriesPage::init()
{
    home = new TemporaryHome;
    for (const char *dir : {"Pictures", "Photos/Summer", "Photos/Winter", "Scans"})
        QVERIFY(QDir().mkpath(home->path() + "/" + dir));
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

SeenDialog TstChooseDirectoriesPage::add(const char *buttonName, const QString &directory)
{
    SeenDialog dialog;
    AnswerNextFileDialog(&dialog, directory);
    QTest::mouseClick(button(buttonName), Qt::LeftButton);
    return dialog;
}

void TstChooseDirectoriesPage::texts()
{
    QCOMPARE(page->title(), QString("Choose picture directories"));
    QCOMPARE(page->subTitle(),
             QString("Choose the directories that contain the pictures you want to assemble into your final photo "
                     "mosaic. Subdirectories are included. You can also select directories to exclude."));
    auto *combo = page->findChild<QComboBox *>("strategyComboBox");
    QCOMPARE(combo->count(), 3);
    const QStringList entries = {"None - use original images only", "Fast - use smaller images when possible",
                                 "Fastest - use smaller images from memory when possible"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(combo->itemText(i), entries[i]);
        QCOMPARE(combo->itemData(i).toInt(), i);
    }
    QStringList groups;
    for (QGroupBox *group : page->findChildren<QGroupBox *>())
        groups << group->title();
    QCOMPARE(groups, QStringList({"Directories to use", "Directories to exclude"}));
    for (const char *name : {"addUseButton", "addNotUseButton"})
        QCOMPARE(button(name)->text(), QString("Add directory to list . . ."));
    for (const char *name : {"removeUseButton", "removeNotUseButton"})
        QCOMPARE(button(name)->text(), QString("Remove directory from list"));
    QLabel *label = nullptr;
    for (QLabel *l : page->findChildren<QLabel *>())
        if (l->text() == "Image acceleration")
            label = l;
    QVERIFY(label);
    QCOMPARE(label->toolTip(), QString("By using extra disk space and memory (and a small amount more upfront "
                                       "work)\nyour photo mosaics can be assembled much faster."));
    QCOMPARE(list("useList")->minimumHeight(), 100);
    QCOMPARE(list("useList")->maximumHeight(), 150);
}

void TstChooseDirectoriesPage::entryShowsTheRecord()
{
    QCOMPARE(page->findChild<QComboBox *>("strategyComboBox")->currentIndex(), 1);
    QCOMPARE(list("useList")->count(), 1);
    QCOMPARE(list("useList")->item(0)->text(), home->path() + "/Pictures");
    QCOMPARE(list("useList")->currentRow(), 0);
    QVERIFY(button("removeUseButton")->isEnabled());
    QCOMPARE(list("notUseList")->count(), 0);
    QVERIFY(!button("removeNotUseButton")->isEnabled());
    QVERIFY(page->isComplete());

    params->notUseDirectories = QStringList{home->path() + "/Scans", home->path() + "/Photos/Winter"};
    page->initializePage();
    QCOMPARE(list("notUseList")->count(), 2);
    QCOMPARE(list("notUseList")->currentRow(), 0);
    QVERIFY(button("removeNotUseButton")->isEnabled());
}

void TstChooseDirectoriesPage::removeAndAddDirectoriesToUse()
{
    QSignalSpy completeChanged(page, &QWizardPage::completeChanged);
    QTest::mouseClick(button("removeUseButton"), Qt::LeftButton);
    QCOMPARE(list("useList")->count(), 0);
    QVERIFY(params->useDirectories.isEmpty());
    QVERIFY(!page->isComplete());
    QCOMPARE(completeChanged.count(), 1);

    const QString summer = home->path() + "/Photos/Summer";
    const QString winter = home->path() + "/Photos/Winter";
    add("addUseButton", summer);
    add("addUseButton", winter);
    QCOMPARE(params->useDirectories, QStringList({summer, winter}));
    QCOMPARE(list("useList")->currentRow(), 1);
    QVERIFY(button("removeUseButton")->isEnabled());
    QVERIFY(page->isComplete());
    QCOMPARE(completeChanged.count(), 3);

    // The exclude list is separate and a directory may stand in both.
    add("addNotUseButton", winter);
    QCOMPARE(params->notUseDirectories, QStringList(winter));
    QCOMPARE(params->useDirectories, QStringList({summer, winter}));
}

void TstChooseDirectoriesPage::sameDirectoryIgnoringCaseIsNotAddedTwice_data()
{
    QTest::addColumn<QString>("listed");
    QTest::addColumn<QString>("added");
    QTest::addColumn<int>("expectedCount");
    QTest::newRow("same") << "Photos/Summer" << "Photos/Summer" << 1;
    QTest::newRow("other case") << "Photos/Summer" << "PHOTOS/summer" << 1;
    QTest::newRow("different") << "Photos/Summer" << "Photos/Winter" << 2;
}

void TstChooseDirectoriesPage::sameDirectoryIgnoringCaseIsNotAddedTwice()
{
    QFETCH(QString, listed);
    QFETCH(QString, added);
    QFETCH(int, expectedCount);
    QVERIFY(QDir().mkpath(home->path() + "/" + added));

    params->useDirectories = QStringList(home->path() + "/" + listed);
    params->notUseDirectories = QStringList(home->path() + "/" + listed);
    page->initializePage();
    QSignalSpy completeChanged(page, &QWizardPage::completeChanged);
    for (const char *name : {"addUseButton", "addNotUseButton"})
        add(name, home->path() + "/" + added);
    QCOMPARE(params->useDirectories.size(), expectedCount);
    QCOMPARE(params->notUseDirectories.size(), expectedCount);
    QCOMPARE(list("useList")->count(), expectedCount);
    QCOMPARE(completeChanged.count(), expectedCount == 1 ? 0 : 2);

    // Either way the next dialog opens in the parent of the one chosen.
    const SeenDialog next = add("addUseButton", QString());
    QCOMPARE(QDir(next.directory).canonicalPath(), QDir(home->path() + "/" + added + "/..").canonicalPath());
}

void TstChooseDirectoriesPage::dialogsStartWhereTheUserLastWas()
{
    params->useDirectories = QStringList{home->path() + "/Photos/Winter", home->path() + "/Scans"};
    page->initializePage();

    SeenDialog first = add("addUseButton", home->path() + "/Photos/Summer");
    QCOMPARE(first.title, QString("Choose a picture directory"));
    QCOMPARE(first.directory, home->path() + "/Photos/Winter");

    // Shared by both lists.
    SeenDialog second = add("addNotUseButton", home->path() + "/Scans");
    QCOMPARE(second.title, QString("Choose a picture directory to exclude"));
    QCOMPARE(second.directory, home->path() + "/Photos");

    SeenDialog third = add("addUseButton", QString());
    QCOMPARE(third.directory, home->path());
}

void TstChooseDirectoriesPage::cancelledDialogChangesNothing()
{
    const QStringList before = params->useDirectories;
    QSignalSpy completeChanged(page, &QWizardPage::completeChanged);
    SeenDialog first = add("addUseButton", QString());
    QVERIFY(first.seen);
    QCOMPARE(params->useDirectories, before);
    QCOMPARE(completeChanged.count(), 0);
    SeenDialog second = add("addNotUseButton", QString());
    QCOMPARE(second.directory, first.directory);
}

void TstChooseDirectoriesPage::removeWithoutSelectionDoesNothing()
{
    list("useList")->clearSelection();
    QSignalSpy completeChanged(page, &QWizardPage::completeChanged);
    page->removeUseDirectory();
    page->removeNotUseDirectory();
    QCOMPARE(params->useDirectories.size(), 1);
    QCOMPARE(completeChanged.count(), 0);
}

void TstChooseDirectoriesPage::selectionEnablesRemove()
{
    params->useDirectories = QStringList{home->path() + "/Photos/Winter", home->path() + "/Scans",
                                         home->path() + "/Pictures"};
    page->initializePage();
    QTest::mouseClick(button("removeUseButton"), Qt::LeftButton);
    QCOMPARE(params->useDirectories, QStringList({home->path() + "/Scans", home->path() + "/Pictures"}));

    // Picking another directory with the mouse lets the user remove it too.
    QListWidget *useList = list("useList");
    const QRect row = useList->visualItemRect(useList->item(1));
    QTest::mouseClick(useList->viewport(), Qt::LeftButton, Qt::NoModifier, row.center());
    QVERIFY(button("removeUseButton")->isEnabled());
    QTest::mouseClick(button("removeUseButton"), Qt::LeftButton);
    QCOMPARE(params->useDirectories, QStringList(home->path() + "/Scans"));
}

void TstChooseDirectoriesPage::strategyChoice()
{
    auto *combo = page->findChild<QComboBox *>("strategyComboBox");
    QSignalSpy activated(combo, &QComboBox::activated);
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(params->imageStrategy, int(ImageDB::StrategyFastest));
    QTest::keyClick(combo, Qt::Key_Up);
    QTest::keyClick(combo, Qt::Key_Up);
    QCOMPARE(params->imageStrategy, int(ImageDB::StrategyNone));
    QVERIFY(page->isComplete());

    // Entering again shows the stored choice without it counting as one.
    const int choices = activated.count();
    params->imageStrategy = ImageDB::StrategyFastest;
    page->initializePage();
    QCOMPARE(combo->currentIndex(), 2);
    QCOMPARE(activated.count(), choices);
}

QTEST_MAIN(TstChooseDirectoriesPage)
#include "tst_choosedirectoriespage.moc"
