#include "WizardKit.h"

#include "wizard/ChooseDirectoriesPage.h"

#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

class TstChooseDirectoriesPage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup() { f.reset(); }

    void removeAndAddDirectoriesAndStrategy();
    void sameDirectoryIgnoringCaseIsNotAddedTwice();

private:
    QListWidget *list(const char *name) { return f->page.findChild<QListWidget *>(name); }
    QPushButton *button(const char *name) { return f->page.findChild<QPushButton *>(name); }
    SeenDialog add(const char *buttonName, const QString &dir) { return ChooseWith(button(buttonName), dir); }
    QString in(const QString &dir) const { return f->home.in(dir); }

    std::optional<PageInHome<ChooseDirectoriesPage>> f;
};

void TstChooseDirectoriesPage::init()
{
    f.emplace();
    for (const char *dir : {"Photos/Summer", "Photos/Winter", "Scans"})
        QVERIFY(QDir().mkpath(in(dir)));
    QVERIFY(Shown(&f->page));
    f->page.initializePage();
}

void TstChooseDirectoriesPage::removeAndAddDirectoriesAndStrategy()
{
    // On entry the record is shown with the first row selected.
    QVERIFY(list("useList")->currentRow() == 0 && button("removeUseButton")->isEnabled());
    QVERIFY(!button("removeNotUseButton")->isEnabled());
    QSignalSpy completeChanged(&f->page, &QWizardPage::completeChanged);
    QTest::mouseClick(button("removeUseButton"), Qt::LeftButton);
    QVERIFY(f->params.useDirectories.isEmpty() && list("useList")->count() == 0 && !f->page.isComplete());
    f->page.removeUseDirectory();                   // nothing selected: nothing happens
    QVERIFY(add("addUseButton", QString()).seen);   // a cancelled dialog changes nothing
    QCOMPARE(completeChanged.count(), 1);
    for (const char *dir : {"Photos/Summer", "Photos/Winter", "Scans"})
        add("addUseButton", in(dir));
    QCOMPARE(f->params.useDirectories, QStringList({in("Photos/Summer"), in("Photos/Winter"), in("Scans")}));
    QVERIFY(list("useList")->currentRow() == 2 && f->page.isComplete());
    QCOMPARE(completeChanged.count(), 4);

    // Picking a row with the mouse lets the user remove that one.
    QListWidget *useList = list("useList");
    QTest::mouseClick(useList->viewport(), Qt::LeftButton, Qt::NoModifier,
                      useList->visualItemRect(useList->item(1)).center());
    QTest::mouseClick(button("removeUseButton"), Qt::LeftButton);
    QCOMPARE(f->params.useDirectories, QStringList({in("Photos/Summer"), in("Scans")}));

    // The exclude list is separate and a directory may stand in both.
    add("addNotUseButton", in("Scans"));
    QCOMPARE(f->params.notUseDirectories, QStringList(in("Scans")));
    QVERIFY(button("removeNotUseButton")->isEnabled() && f->params.useDirectories.size() == 2);

    // The strategy; entering again shows the stored choice.
    auto *combo = f->page.findChild<QComboBox *>("strategyComboBox");
    QCOMPARE(combo->currentIndex(), 1);
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(f->params.imageStrategy, int(ImageDB::StrategyFastest));
    QTest::keyClick(combo, Qt::Key_Up);
    QTest::keyClick(combo, Qt::Key_Up);
    QCOMPARE(f->params.imageStrategy, int(ImageDB::StrategyNone));
    f->params.imageStrategy = ImageDB::StrategyFastest;
    f->page.initializePage();
    QCOMPARE(combo->currentIndex(), 2);
}

// A different directory is added by removeAndAddDirectories.
void TstChooseDirectoriesPage::sameDirectoryIgnoringCaseIsNotAddedTwice()
{
    QVERIFY(QDir().mkpath(in("PHOTOS/summer")));
    f->params.useDirectories = f->params.notUseDirectories = QStringList(in("Photos/Summer"));
    f->page.initializePage();
    add("addUseButton", in("PHOTOS/summer"));
    add("addNotUseButton", in("PHOTOS/summer"));
    QCOMPARE(f->params.useDirectories, f->params.notUseDirectories);
    QVERIFY(f->params.useDirectories == QStringList(in("Photos/Summer")) && list("useList")->count() == 1);
    // The next dialog opens in the parent of the one chosen.
    QCOMPARE(QDir(add("addUseButton", QString()).directory).canonicalPath(), QDir(in("PHOTOS")).canonicalPath());
}

QTEST_MAIN(TstChooseDirectoriesPage)
#include "tst_choosedirectoriespage.moc"
