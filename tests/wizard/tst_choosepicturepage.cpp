#include "WizardKit.h"

#include "wizard/ImageDisplayWidget.h"
#include "wizard/ImagePosterWizard.h"

#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <QtTest>

// A file dragged from a file manager, after a web address, onto the preview.
static void Drop(QWidget *page, QWidget *display, const QString &path)
{
    QMimeData mime;
    mime.setUrls({QUrl("https://example.org/x.jpg"), QUrl::fromLocalFile(path)});
    const QPoint where = display->mapTo(page, display->rect().center());
    QDragEnterEvent enter(where, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page, &enter);
    QDropEvent drop(where, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page, &drop);
    QVERIFY(enter.isAccepted() && drop.isAccepted());
}

class TstChoosePicturePage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup() { f.reset(); }

    void chosenName_data();
    void chosenName();
    void samePictureIsNotReadAgain();

private:
    bool nextEnabled() { return f->wizard.button(QWizard::NextButton)->isEnabled(); }

    std::optional<WizardInHome> f;
    QWizardPage *page = nullptr;
    QLineEdit *edit = nullptr;
    ImageDisplayWidget *display = nullptr;
    QString picture;   // 48 by 32, dark red
};

void TstChoosePicturePage::init()
{
    f.emplace();
    picture = f->home.in("Pictures/source.jpg");
    QVERIFY(StorePicture(picture, Solid(48, 32, {200, 40, 10})));
    QVERIFY(Store(f->home.in("Pictures/notes.jpg"), "not a picture\n"));
    f->wizard.init(1, QString());
    QVERIFY(Shown(&f->wizard));
    page = f->wizard.currentPage();
    edit = page->findChild<QLineEdit *>("filenameEdit");
    display = page->findChild<ImageDisplayWidget *>("imageDisplay");
}

void TstChoosePicturePage::chosenName_data()
{
    QTest::addColumn<QString>("how");    // typed with Return, dropped, or from the file dialog
    QTest::addColumn<QString>("name");   // relative to the home directory
    QTest::addColumn<bool>("accepted");

    const auto row = [](const char *tag, const char *how, const char *name, bool accepted) {
        QTest::newRow(tag) << QString(how) << QString(name) << accepted;
    };
    row("typed missing file", "typed", "Pictures/gone.jpg", false);
    row("typed text named .jpg", "typed", "Pictures/notes.jpg", false);
    row("dropped picture", "dropped", "Pictures/source.jpg", true);
    row("picture from dialog", "dialog", "Pictures/source.jpg", true);
}

void TstChoosePicturePage::chosenName()
{
    QFETCH(QString, how);
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    const QString path = f->home.in(name);
    const bool errorBox = QFileInfo::exists(path) && !accepted;

    // Start from another chosen picture: every outcome must replace it.
    const QString other = f->home.in("other.jpg");
    QVERIFY(StorePicture(other, Solid(20, 10, {0, 0, 255})));
    TypeAndReturn(edit, other);
    QVERIFY(nextEnabled());

    SeenBox box;
    QPointer<QTimer> guard;
    if (how == "dialog") {
        const SeenDialog dialog = ChooseWith(page->findChild<QPushButton *>("browseButton"), path);
        QVERIFY(dialog.title == "Choose picture" && dialog.nameFilters == QStringList("JPEG Images (*.jpg *.jpeg)"));
    } else {
        guard = AcceptNextMessageBox(&box);
        how == "typed" ? TypeAndReturn(edit, path) : Drop(page, display, path);
    }
    QTRY_COMPARE(edit->text(), path);
    QTRY_COMPARE(box.seen, errorBox);
    delete guard;
    if (errorBox) {
        QVERIFY(box.title == "Error Reading File" && box.icon == QMessageBox::Critical);
        QCOMPARE(box.text, path + " could not be read. You will need to select a different image.");
    }
    QCOMPARE(nextEnabled(), accepted);
    QCOMPARE(f->params.sourceFilename, accepted ? path : QString());
    QCOMPARE(f->params.sourceImage != nullptr, accepted);
    if (accepted) {
        QVERIFY(f->params.sourceImage->width == 48 && f->params.sourceImage->height == 32);
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
    QCOMPARE(f->params.sourceImage->width, 48);
    f->wizard.button(QWizard::NextButton)->click();
    QCOMPARE(f->wizard.currentId(), 1);
    f->wizard.button(QWizard::BackButton)->click();
    QVERIFY(edit->text() == picture && f->params.sourceImage->width == 48 && nextEnabled());
}

QTEST_MAIN(TstChoosePicturePage)
#include "tst_choosepicturepage.moc"
