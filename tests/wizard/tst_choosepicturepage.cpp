#include "WizardTestSupport.h"

#include "wizard/ChoosePicturePage.h"
#include "wizard/ImageDisplayWidget.h"
#include "wizard/ImagePosterWizard.h"

#include <QAbstractButton>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <QtTest>

using namespace WizardTest;

class TstChoosePicturePage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void texts();
    void typedName_data();
    void typedName();
    void samePictureIsNotReadAgain();
    void fileDialog();
    void cancelledDialogDropsThePicture();
    void droppedFileActsAsChosen_data();
    void droppedFileActsAsChosen();
    void backKeepsThePicture();

private:
    void typeAndReturn(const QString &text);
    bool nextEnabled() const { return wizard->button(QWizard::NextButton)->isEnabled(); }

    TemporaryHome *home = nullptr;
    ImagePosterWizard *wizard = nullptr;
    ImagePosterParameters *params = nullptr;
    QWizardPage *page = nullptr;
    QLineEdit *edit = nullptr;
    ImageDisplayWidget *display = nullptr;
    QString picture;   // 48 by 32 gradient
};

void TstChoosePicturePage::init()
{
    home = new TemporaryHome;
    picture = home->path() + "/Pictures/source.jpg";
    QVERIFY(WritePicture(picture, 48, 32, {200, 40, 10}, true));
    wizard = new ImagePosterWizard;
    wizard->init(1, QString());
    params = wizard->parameters();
    wizard->show();
    QVERIFY(QTest::qWaitForWindowExposed(wizard));
    page = wizard->currentPage();
    edit = page->findChild<QLineEdit *>("filenameEdit");
    display = page->findChild<ImageDisplayWidget *>("imageDisplay");
    QVERIFY(edit && display);
}

void TstChoosePicturePage::cleanup()
{
    delete wizard;
    delete home;
}

void TstChoosePicturePage::typeAndReturn(const QString &text)
{
    edit->clear();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

void TstChoosePicturePage::texts()
{
    QCOMPARE(page->title(), QString("Choose picture"));
    QCOMPARE(page->subTitle(), QString("Choose the picture that you want to turn into a photo mosaic."));
    bool labelFound = false;
    for (QLabel *label : page->findChildren<QLabel *>()) {
        if (label->text() == "Filename") {
            labelFound = true;
            QCOMPARE(label->toolTip(), QString("This is the name of the file that contains the image you want to\n"
                                               "turn into a photo mosaic."));
        }
    }
    QVERIFY(labelFound);
    QCOMPARE(page->findChild<QPushButton *>("browseButton")->text(), QString("..."));
    QVERIFY(edit->text().isEmpty());
    QVERIFY(!nextEnabled());
}

void TstChoosePicturePage::typedName_data()
{
    QTest::addColumn<QString>("name");        // relative to the home directory
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<bool>("errorBox");

    QTest::newRow("picture") << "Pictures/source.jpg" << true << false;
    QTest::newRow("missing file") << "Pictures/gone.jpg" << false << false;
    QTest::newRow("text named .jpg") << "Pictures/notes.jpg" << false << true;
    QTest::newRow("directory") << "Pictures" << false << true;
}

void TstChoosePicturePage::typedName()
{
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    QFETCH(bool, errorBox);
    QVERIFY(WriteText(home->path() + "/Pictures/notes.jpg", "not a picture\n"));

    // Start from a chosen picture: every outcome must replace it.
    typeAndReturn(picture);
    QVERIFY(nextEnabled());

    const QString path = home->path() + "/" + name;
    SeenBox box;
    QPointer<QTimer> guard = AcceptNextMessageBox(&box);
    typeAndReturn(path);
    delete guard;

    QCOMPARE(box.seen, errorBox);
    if (errorBox) {
        QCOMPARE(box.title, QString("Error Reading File"));
        QCOMPARE(box.text, path + " could not be read. You will need to select a different image.");
        QCOMPARE(box.icon, QMessageBox::Critical);
    }
    QCOMPARE(nextEnabled(), accepted);
    QCOMPARE(edit->text(), path);
    QCOMPARE(params->sourceFilename, accepted ? path : QString());
    QCOMPARE(params->sourceImage != nullptr, accepted);
    if (accepted) {
        QCOMPARE(params->sourceImage->width, 48);
        QCOMPARE(params->sourceImage->height, 32);
        QCOMPARE(display->GetBackingImage()->size(), QSize(48, 32));
        // The preview holds the picture: dark red on the left, light on the right.
        const QColor left = display->GetBackingImage()->pixelColor(0, 16);
        QVERIFY(left.red() > 150 && left.green() < 90);
    } else if (display->GetBackingImage()) {
        const QColor background = display->palette().color(QPalette::Current, QPalette::Window);
        QCOMPARE(display->GetBackingImage()->pixelColor(0, 16), background);
    }
}

void TstChoosePicturePage::samePictureIsNotReadAgain()
{
    typeAndReturn(picture);
    QCOMPARE(params->sourceImage->width, 48);
    // The file changes on disk; choosing the same name keeps what was read.
    QVERIFY(WritePicture(picture, 20, 10, {0, 0, 255}));
    typeAndReturn(picture);
    QCOMPARE(params->sourceImage->width, 48);
    QVERIFY(nextEnabled());
}

void TstChoosePicturePage::fileDialog()
{
    SeenDialog dialog;
    AnswerNextFileDialog(&dialog, picture);
    QTest::mouseClick(page->findChild<QPushButton *>("browseButton"), Qt::LeftButton);
    QVERIFY(dialog.seen);
    QCOMPARE(dialog.title, QString("Choose picture"));
    QCOMPARE(dialog.directory, home->path() + "/Pictures");
    QCOMPARE(dialog.nameFilters, QStringList("JPEG Images (*.jpg *.jpeg)"));
    QCOMPARE(edit->text(), picture);
    QCOMPARE(params->sourceFilename, picture);
    QVERIFY(nextEnabled());

    // The next dialog opens on the chosen picture, in its folder.
    const QString other = home->path() + "/Elsewhere/other.jpg";
    QVERIFY(WritePicture(other, 30, 40, {10, 200, 10}));
    SeenDialog second;
    AnswerNextFileDialog(&second, other);
    QTest::mouseClick(page->findChild<QPushButton *>("browseButton"), Qt::LeftButton);
    QCOMPARE(second.directory, home->path() + "/Pictures");
    QCOMPARE(params->sourceImage->width, 30);
    SeenDialog third;
    AnswerNextFileDialog(&third, QString());
    QTest::mouseClick(page->findChild<QPushButton *>("browseButton"), Qt::LeftButton);
    QCOMPARE(third.directory, home->path() + "/Elsewhere");
}

void TstChoosePicturePage::cancelledDialogDropsThePicture()
{
    typeAndReturn(picture);
    QVERIFY(nextEnabled());
    SeenDialog dialog;
    AnswerNextFileDialog(&dialog, QString());
    QTest::mouseClick(page->findChild<QPushButton *>("browseButton"), Qt::LeftButton);
    QVERIFY(dialog.seen);
    QVERIFY(edit->text().isEmpty());
    QVERIFY(params->sourceFilename.isEmpty());
    QVERIFY(!params->sourceImage);
    QVERIFY(!nextEnabled());
}

void TstChoosePicturePage::droppedFileActsAsChosen_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<bool>("errorBox");
    QTest::newRow("picture") << "Pictures/source.jpg" << true << false;
    QTest::newRow("not a picture") << "Pictures/notes.jpg" << false << true;
}

void TstChoosePicturePage::droppedFileActsAsChosen()
{
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    QFETCH(bool, errorBox);
    QVERIFY(WriteText(home->path() + "/Pictures/notes.jpg", "not a picture\n"));
    const QString path = home->path() + "/" + name;

    QMimeData mime;
    mime.setUrls({QUrl("https://example.org/x.jpg"), QUrl::fromLocalFile(path)});
    const QPoint where = display->mapTo(page, display->rect().center());
    QDragEnterEvent enter(where, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page, &enter);
    QVERIFY(enter.isAccepted());

    SeenBox box;
    QPointer<QTimer> guard = AcceptNextMessageBox(&box);
    QDropEvent drop(where, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page, &drop);
    QVERIFY(drop.isAccepted());
    QTRY_COMPARE(edit->text(), path);
    QTRY_COMPARE(box.seen, errorBox);
    delete guard;
    QCOMPARE(params->sourceFilename, accepted ? path : QString());
    QCOMPARE(nextEnabled(), accepted);

    // Text without a file is not taken.
    QMimeData text;
    text.setText("hello");
    QDragEnterEvent textEnter(where, Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    textEnter.ignore();
    QApplication::sendEvent(page, &textEnter);
    QVERIFY(!textEnter.isAccepted());
}

void TstChoosePicturePage::backKeepsThePicture()
{
    typeAndReturn(picture);
    QVERIFY(WritePicture(picture, 20, 10, {0, 0, 255}));
    wizard->button(QWizard::NextButton)->click();
    QCOMPARE(wizard->currentId(), 1);
    wizard->button(QWizard::BackButton)->click();
    QCOMPARE(wizard->currentId(), 0);
    QCOMPARE(edit->text(), picture);
    QCOMPARE(params->sourceImage->width, 48);
    QVERIFY(nextEnabled());
}

QTEST_MAIN(TstChoosePicturePage)
#include "tst_choosepicturepage.moc"
