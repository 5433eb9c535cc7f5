#include "wizard/UpdateImageDBPage.h"

#include "engine/ImagePosterParameters.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWizard>

namespace {
// QWizard shows the page only after initializePage; the scan starts after it.
constexpr int StartDelayMs = 10;
}   // namespace

UpdateImageDBPage::UpdateImageDBPage(ImagePosterParameters *params) : QWizardPage(nullptr), params(params)
{
    setTitle(tr("Updating image database"));
    setSubTitle(tr("This program examines the images it finds and makes a database that enables it to more "
                   "efficiently create the photo mosaic. This can take a while the first time you run this "
                   "program."));

    auto *layout = new QVBoxLayout(this);
    filenameLabel = new QLabel;
    filenameLabel->setObjectName("filenameLabel");
    layout->addWidget(filenameLabel);
    progressBar = new QProgressBar;
    progressBar->setObjectName("progressBar");
    layout->addWidget(progressBar);

    auto *grid = new QGridLayout;
    const QString usableTip = tr("This number represents the number of usable images\n"
                                 "that can contribute to the photo mosaic.");
    auto *usableCaption = new QLabel(tr("Number of usable images:"));
    usableLabel = new QLabel;
    usableLabel->setObjectName("usableLabel");
    usableCaption->setToolTip(usableTip);
    usableLabel->setToolTip(usableTip);
    grid->addWidget(usableCaption, 0, 0);
    grid->addWidget(usableLabel, 0, 1);

    const QString unusableTip = tr("This number represents the number of images that\n"
                                   "could not be located or loaded. These images will not be considered as\n"
                                   "inputs for the photo mosaic.");
    auto *unusableCaption = new QLabel(tr("Number of unusable images:"));
    unusableLabel = new QLabel;
    unusableLabel->setObjectName("unusableLabel");
    unusableCaption->setToolTip(unusableTip);
    unusableLabel->setToolTip(unusableTip);
    grid->addWidget(unusableCaption, 1, 0);
    grid->addWidget(unusableLabel, 1, 1);
    layout->addLayout(grid);
    noPicturesLabel = new QLabel;
    noPicturesLabel->setObjectName("noPicturesLabel");
    noPicturesLabel->setWordWrap(true);
    noPicturesLabel->hide();
    layout->addWidget(noPicturesLabel);

    connect(&params->imageDB, &ImageDB::progress, this, &UpdateImageDBPage::updateProgress);
    connect(&params->imageDB, &ImageDB::complete, this, &UpdateImageDBPage::complete);
}

void UpdateImageDBPage::initializePage()
{
    QTimer::singleShot(StartDelayMs, this, &UpdateImageDBPage::startUpdate);
}

bool UpdateImageDBPage::scanMatchesRecord() const
{
    return scanDirectories == params->useDirectories && scanExcludedDirectories == params->notUseDirectories
           && scanStrategy == params->imageStrategy;
}

void UpdateImageDBPage::showCounts(int usable, int unusable)
{
    usableLabel->setText(QString::asprintf("%d", usable));
    unusableLabel->setText(QString::asprintf("%d", unusable));
}

void UpdateImageDBPage::startUpdate()
{
    // The user may have left within the delay; the scan starts on the next entry.
    if (wizard() && wizard()->currentPage() != this)
        return;

    updateComplete = false;
    emit completeChanged();
    noPicturesLabel->hide();

    // Left with Back during a scan and entered again: follow that scan. With
    // changed choices the database runs the new update once the running one
    // is over and reports a single completion for both.
    const bool scanning = params->imageDB.IsUpdating();
    if (scanning && scanMatchesRecord())
        return;
    if (!scanning)
        showCounts(params->imageDB.GetNumUsableImages(), 0);
    scanDirectories = params->useDirectories;
    scanExcludedDirectories = params->notUseDirectories;
    scanStrategy = params->imageStrategy;
    params->imageDB.Update(params->useDirectories, params->notUseDirectories,
                           ImageDB::SourceImageStrategy(params->imageStrategy), params->numThreads);
}

void UpdateImageDBPage::updateProgress(int percent, const QString &filename)
{
    QString shown = filename;
    const QFontMetrics metrics(font());
    while (metrics.tightBoundingRect(shown).width() > filenameLabel->width()) {
        const int slash = shown.indexOf(QLatin1Char('/'));
        if (slash < 0)
            break;
        shown.remove(0, slash + 1);
    }
    filenameLabel->setText(shown);
    progressBar->setValue(percent);
    const int usable = params->imageDB.GetNumUsableImages();
    showCounts(usable, params->imageDB.GetNumImages() - usable);
}

void UpdateImageDBPage::complete()
{
    params->imageDB.Write(params->imageDBFilename);
    // Without a usable picture every tile would stay black; the command-line
    // tool stops with the same words.
    updateComplete = params->imageDB.GetNumUsableImages() > 0;
    noPicturesLabel->setText(tr("No usable pictures in %1. Go back to choose the folders that hold your pictures.")
                                 .arg(params->useDirectories.join(", ")));
    noPicturesLabel->setVisible(!updateComplete);
    emit completeChanged();
    // Only move on when the user is still waiting here; after Back the scan
    // has been saved and the wizard stays where the user is.
    if (updateComplete && wizard() && wizard()->currentPage() == this)
        wizard()->next();
}

bool UpdateImageDBPage::isComplete() const
{
    return updateComplete;
}
