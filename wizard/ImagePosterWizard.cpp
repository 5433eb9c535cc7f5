#include "wizard/ImagePosterWizard.h"

#include "engine/Notice.h"
#include "wizard/ChooseDirectoriesPage.h"
#include "wizard/ChooseOptionsPage.h"
#include "wizard/ChoosePicturePage.h"
#include "wizard/GeneratePage.h"
#include "wizard/UpdateImageDBPage.h"

#include <QApplication>
#include <QFile>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QPixmap>
#include <QThread>

#include "wizard/icons/SidePicture.xpm"
#include "wizard/icons/WindowIcon.xpm"

namespace {

void ShowNoticeBox(const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok);
    box.setWindowIcon(ImagePosterWizard::WindowIcon());
    box.exec();
}

// The engine may report from any thread; message boxes belong to the GUI thread.
void ShowNoticeOnGuiThread(const QString &title, const QString &text)
{
    if (!qApp || QThread::currentThread() == qApp->thread()) {
        ShowNoticeBox(title, text);
        return;
    }
    QMetaObject::invokeMethod(
        qApp, [title, text] { ShowNoticeBox(title, text); }, Qt::QueuedConnection);
}

}   // namespace

ImagePosterWizard::ImagePosterWizard() : QWizard(nullptr)
{
    setWindowTitle(tr("Kestrelvanepatchery %1.%2 - Copyright 2026 the Kestrelvanepatchery developers")
                       .arg(KVP_VERSION_MAJOR)
                       .arg(KVP_VERSION_MINOR));
    const QPixmap sidePicture(side_picture_xpm);
    setPixmap(QWizard::BackgroundPixmap, sidePicture);
    // Only the macOS style draws the background; the others show the side
    // picture as their watermark.
    setPixmap(QWizard::WatermarkPixmap, sidePicture);
    setWindowIcon(WindowIcon());
    setOption(QWizard::HaveHelpButton, true);
    setOption(QWizard::HelpButtonOnRight, false);
    setButtonText(QWizard::HelpButton, tr("License..."));
    connect(this, &QWizard::helpRequested, this, &ImagePosterWizard::showEULA);

    addPage(new ChoosePicturePage(&params));
    addPage(new ChooseDirectoriesPage(&params));
    addPage(new UpdateImageDBPage(&params));
    addPage(new ChooseOptionsPage(&params));
    generatePage = new GeneratePage(&params);
    addPage(generatePage);

    SetNoticeHandler(ShowNoticeOnGuiThread);
}

ImagePosterWizard::~ImagePosterWizard()
{
    // The pages outlive params (they go with the QWizard part), so the
    // generation threads that read params are stopped while it still exists.
    generatePage->StopGeneration();
}

void ImagePosterWizard::init(int numThreads, const QString &imageDBFilename)
{
    params.numThreads = numThreads;
    if (!imageDBFilename.isEmpty())
        params.imageDBFilename = imageDBFilename;
    if (params.imageDB.Read(params.imageDBFilename)) {
        params.imageStrategy = params.imageDB.strategy;
        params.useDirectories = params.imageDB.directories;
        params.notUseDirectories = params.imageDB.excludedDirectories;
    }
}

QIcon ImagePosterWizard::WindowIcon()
{
    return QIcon(QPixmap(window_icon_xpm));
}

QString ImagePosterWizard::LicenseText()
{
    QFile file(QStringLiteral(":/LICENSE"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    return QString::fromUtf8(file.readAll());
}

void ImagePosterWizard::WidenMessageBox(QMessageBox &box, const QFont &font)
{
    const int width = 65 * QFontMetrics(font).boundingRect(QLatin1Char('X')).width();
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout()))
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                      grid->columnCount());
}

void ImagePosterWizard::showEULA()
{
    QMessageBox box;
    box.setWindowIcon(WindowIcon());
    box.setWindowTitle(tr("Kestrelvanepatchery License"));
    box.setTextFormat(Qt::RichText);
    box.setText(tr("<b>Kestrelvanepatchery</b> is free software under the MIT License; "
                   "press <i>Show Details...</i> to read it."));
    box.setDetailedText(LicenseText());
    WidenMessageBox(box, font());
    box.exec();
}
