#include "WizardKit.h"

#include "wizard/ImageDisplayWidget.h"
#include "wizard/ImagePosterWizard.h"

#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <QtTest>

class TstChoosePicturePage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void chosenName_data();
    void chosenName();
    void samePictureIsNotReadAgain();

private:
    bool nextEnabled() const { return wizard->button(QWizard::NextButton)->isEnabled(); }
    QPushButton *browse() const { return page->findChild<QPushButton *>("browseButton"); }
    void drop(const QString &path);

    TemporaryHome *home = nullptr;
    ImagePosterWizard *wizard = nullptr;
    ImagePosterParameters *params = nullptr;
    QWizardPage *page = nullptr;
    QLineEdit *edit = nullptr;
    ImageDisplayWidget *display = nullptr;
    QString picture;   // 48 by 32, dark red
};

void TstChoosePicturePage::init()
{
    home = new TemporaryHome;
    picture = home->path() + "/Pictures/source.jpg";
    QVERIFY(StorePicture(picture, Solid(48, 32, {200, 40, 10})));
    QVERIFY(Store(home->path() + "/Pictures/notes.jpg", "not a picture\n"));
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

void TstChoosePicturePage::drop(const QString &path)
{
    QMimeData mime;
    mime.setUrls({QUrl("https://example.org/x.jpg"), QUrl::fromLocalFile(path)});
    const QPoint where = display->mapTo(page, display->rect().center());
    QDragEnterEvent enter(where, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(where, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page, &drop);
    QVERIFY(drop.isAccepted());

    // Text without a file is not taken.
    QMimeData text;
    text.setText("hello");
    QDragEnterEvent textEnter(where, Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    textEnter.ignore();
    QApplication::sendEvent(page, &textEnter);
    QVERIFY(!textEnter.isAccepted());
}

void TstChoosePicturePage::chosenName_data()
{
    QTest::addColumn<QString>("how");    // typed with Return, dropped, or from the file dialog
    QTest::addColumn<QString>("name");   // relative to the home directory
    QTest::addColumn<bool>("accepted");

    QTest::newRow("typed picture") << "typed"
                                   << "Pictures/source.jpg" << true;
    QTest::newRow("typed missing file") << "typed"
                                        << "Pictures/gone.jpg" << false;
    QTest::newRow("typed text named .jpg") << "typed"
                                           << "Pictures/notes.jpg" << false;
    QTest::newRow("dropped picture") << "dropped"
                                     << "Pictures/source.jpg" << true;
    QTest::newRow("picture from dialog") << "dialog"
                                         << "Pictures/source.jpg" << true;
}

void TstChoosePicturePage::chosenName()
{
    QFETCH(QString, how);
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    const QString path = home->path() + "/" + name;
    const bool errorBox = QFileInfo::exists(path) && !accepted;

    // Start from another chosen picture: every outcome must replace it.
    const QString other = home->path() + "/other.jpg";
    QVERIFY(StorePicture(other, Solid(20, 10, {0, 0, 255})));
    TypeAndReturn(edit, other);
    QVERIFY(nextEnabled());

    SeenBox box;
    QPointer<QTimer> guard;
    if (how == "dialog") {
        const SeenDialog dialog = ChooseWith(browse(), path);
        QCOMPARE(dialog.title, QString("Choose picture"));
        QCOMPARE(dialog.nameFilters, QStringList("JPEG Images (*.jpg *.jpeg)"));
    } else {
        guard = AcceptNextMessageBox(&box);
        how == "typed" ? TypeAndReturn(edit, path) : drop(path);
    }
    QTRY_COMPARE(edit->text(), path);
    QTRY_COMPARE(box.seen, errorBox);
    delete guard;
    if (errorBox) {
        QCOMPARE(box.title, QString("Error Reading File"));
        QCOMPARE(box.text, path + " could not be read. You will need to select a different image.");
        QCOMPARE(box.icon, QMessageBox::Critical);
    }
    QCOMPARE(nextEnabled(), accepted);
    QCOMPARE(params->sourceFilename, accepted ? path : QString());
    QCOMPARE(params->sourceImage != nullptr, accepted);
    if (accepted) {
        QCOMPARE(params->sourceImage->width, 48);
        QCOMPARE(params->sourceImage->height, 32);
        // The preview holds the picture.
        QCOMPARE(display->GetBackingImage()->size(), QSize(48, 32));
        const QColor left = display->GetBackingImage()->pixelColor(0, 16);
        QVERIFY(left.red() > 150 && left.green() < 90);
    } else if (display->GetBackingImage()) {
        const QColor background = display->palette().color(QPalette::Current, QPalette::Window);
        QCOMPARE(display->GetBackingImage()->pixelColor(0, 0), background);
    }
}

void TstChoosePicturePage::samePictureIsNotReadAgain()
{
    TypeAndReturn(edit, picture);
    // The file changes on disk; choosing the same name, or coming Back, keeps what was read.
    QVERIFY(StorePicture(picture, Solid(20, 10, {0, 0, 255})));
    TypeAndReturn(edit, picture);
    QCOMPARE(params->sourceImage->width, 48);
    wizard->button(QWizard::NextButton)->click();
    QCOMPARE(wizard->currentId(), 1);
    wizard->button(QWizard::BackButton)->click();
    QCOMPARE(edit->text(), picture);
    QCOMPARE(params->sourceImage->width, 48);
    QVERIFY(nextEnabled());
}

QTEST_MAIN(TstChoosePicturePage)
#include "tst_choosepicturepage.moc"
