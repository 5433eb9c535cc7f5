#include "wizard/ChoosePicturePage.h"

#include "wizard/FileNameRow.h"

#include "engine/ImagePosterParameters.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"
#include "imaging/TileMetrics.h"
#include "wizard/ImageDisplayWidget.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// The first local file among the dragged URLs, or an empty string.
QString DroppedFilename(const QMimeData *mime)
{
    if (!mime || !mime->hasUrls())
        return QString();
    for (const QUrl &url : mime->urls()) {
        if (url.isLocalFile())
            return url.toLocalFile();
    }
    return QString();
}

// Return takes the name and stops there, so that the user sees the preview
// before moving on; passed on, it would press the wizard's Next at once.
class NameEdit : public QLineEdit {
protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        QLineEdit::keyPressEvent(event);
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
            event->accept();
    }
};

}   // namespace

ChoosePicturePage::ChoosePicturePage(ImagePosterParameters *params)
    : QWizardPage(nullptr), params(params), lastPath(GetPictureFolderPath())
{
    setTitle(tr("Choose picture"));
    setSubTitle(tr("Choose the picture that you want to turn into a photo mosaic."));

    auto *layout = new QVBoxLayout(this);

    auto *row = new QHBoxLayout;
    auto *label = new QLabel(tr("Filename"));
    label->setToolTip(tr("This is the name of the file that contains the image you want to\n"
                         "turn into a photo mosaic."));
    row->addWidget(label);

    filenameEdit = new NameEdit;
    // A file dropped on the line edit is meant as a picture, not as text.
    filenameEdit->setAcceptDrops(false);
    auto *browseButton = new QPushButton(tr("..."));
    row->addWidget(FileNameRow(filenameEdit, 1000, browseButton));
    layout->addLayout(row);

    imageDisplay = new ImageDisplayWidget;
    imageDisplay->setObjectName("imageDisplay");
    layout->addWidget(imageDisplay);

    setAcceptDrops(true);

    connect(filenameEdit, &QLineEdit::returnPressed, this, &ChoosePicturePage::fileChanged);
    connect(browseButton, &QPushButton::clicked, this, &ChoosePicturePage::selectFile);
}

void ChoosePicturePage::handleChangedFilename(const QString &name)
{
    if (name.isEmpty() || !QFile::exists(name)) {
        params->sourceFilename.clear();
        delete params->sourceImage;
        params->sourceImage = nullptr;
        imageDisplay->ClearImage();
        return;
    }
    if (name == params->sourceFilename)
        return;

    lastPath = QDir(name).filePath(name);
    delete params->sourceImage;
    params->sourceImage = new Image;
    if (ReadJPEG(name, *params->sourceImage)) {
        const Image &picture = *params->sourceImage;
        params->sourceFilename = name;
        imageDisplay->SetImageTiles(picture.width, picture.height, 1, picture.width, picture.height);
        DrawImageIntoQImage(imageDisplay->GetBackingImage(), 0, 0, picture);
        imageDisplay->ImageDirty();
        return;
    }

    params->sourceFilename.clear();
    delete params->sourceImage;
    params->sourceImage = nullptr;
    imageDisplay->ClearImage();
    QMessageBox::critical(this, tr("Error Reading File"),
                          tr("%1 could not be read. You will need to select a different image.").arg(name),
                          QMessageBox::Ok, QMessageBox::NoButton);
}

void ChoosePicturePage::fileChanged()
{
    handleChangedFilename(filenameEdit->text());
    emit completeChanged();
}

void ChoosePicturePage::takeChosenFilename(const QString &name)
{
    filenameEdit->setText(name);
    handleChangedFilename(name);
    emit completeChanged();
}

void ChoosePicturePage::selectFile()
{
    takeChosenFilename(
        QFileDialog::getOpenFileName(this, tr("Choose picture"), lastPath, tr("JPEG Images (*.jpg *.jpeg)")));
}

void ChoosePicturePage::dragEnterEvent(QDragEnterEvent *event)
{
    if (!DroppedFilename(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void ChoosePicturePage::dropEvent(QDropEvent *event)
{
    const QString name = DroppedFilename(event->mimeData());
    if (name.isEmpty())
        return;
    event->acceptProposedAction();
    // Handled once the drag has ended: reading may show a modal error box,
    // which must not run inside the drop.
    QMetaObject::invokeMethod(
        this, [this, name] { takeChosenFilename(name); }, Qt::QueuedConnection);
}

void ChoosePicturePage::initializePage()
{
    filenameEdit->setText(params->sourceFilename);
    handleChangedFilename(params->sourceFilename);
}

bool ChoosePicturePage::isComplete() const
{
    return !params->sourceFilename.isEmpty() && QFile::exists(params->sourceFilename);
}
