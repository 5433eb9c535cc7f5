#include "wizard/GeneratePage.h"

#include "engine/ImagePosterParameters.h"
#include "engine/PosterGenerator.h"
#include "engine/PyramidWriterAgent.h"
#include "engine/ZoomablePage.h"
#include "wizard/ImageDisplayWidget.h"
#include "wizard/ImagePosterWizard.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QWizard>

namespace {
// QWizard shows the page only after initializePage; the run starts after it.
constexpr int StartDelayMs = 10;
}   // namespace

GeneratePage::GeneratePage(ImagePosterParameters *params) : QWizardPage(nullptr), params(params)
{
    setTitle(tr("Generate photo mosaic"));
    setSubTitle(tr("Your photo mosaic is being calculated."));

    auto *layout = new QVBoxLayout(this);
    progressBar = new QProgressBar;
    progressBar->setObjectName("progressBar");
    progressBar->setRange(0, 100);
    layout->addWidget(progressBar, 0);
    imageDisplay = new ImageDisplayWidget;
    imageDisplay->setObjectName("imageDisplay");
    layout->addWidget(imageDisplay, 0);
    zoomableButton = new QPushButton(tr("Open zoomable view"));
    zoomableButton->setObjectName("zoomableButton");
    zoomableButton->setEnabled(false);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(zoomableButton);
    layout->addLayout(buttons);
    connect(zoomableButton, &QPushButton::clicked, this, &GeneratePage::openZoomableView);
    pyramidWriter = new PyramidWriterAgent(this);
    connect(pyramidWriter, &QThread::finished, this, &GeneratePage::zoomableViewWritten);
    // A run started meanwhile has the progress bar.
    connect(pyramidWriter, &PyramidWriterAgent::progress, this, [this](int percent) {
        if (generationComplete)
            progressBar->setValue(percent);
    });

    generator = new PosterGenerator(params, this);
    connect(generator, &PosterGenerator::stage, this, &GeneratePage::stageChange, Qt::QueuedConnection);
    connect(generator, &PosterGenerator::progress, this, &GeneratePage::updateProgress, Qt::QueuedConnection);
    connect(generator, &PosterGenerator::saving, this, &GeneratePage::saving);
    connect(generator, &PosterGenerator::complete, this, &GeneratePage::complete);
    // Queued: the box is modal and must not run inside the generator's slot.
    connect(generator, &PosterGenerator::failed, this, &GeneratePage::saveFailed, Qt::QueuedConnection);

    setFinalPage(true);
}

void GeneratePage::initializePage()
{
    setSubTitle(tr("Your photo mosaic is being calculated."));
    imageDisplay->ClearImage();
    progressBar->setValue(0);
    QTimer::singleShot(StartDelayMs, this, &GeneratePage::startGeneration);
}

void GeneratePage::startGeneration()
{
    // The user may have gone back within the delay.
    if (wizard() && wizard()->currentPage() != this)
        return;
    currentStage = 0;
    generationComplete = false;
    zoomableButton->setEnabled(false);
    emit completeChanged();
    generator->Generate(imageDisplay);
}

void GeneratePage::stageChange(int stage)
{
    currentStage = stage;
    if (stage == 1)
        setSubTitle(tr("Your photo mosaic is being assembled."));
    else if (stage > 1)
        setSubTitle(tr("Your photo mosaic is being saved."));
    progressBar->setValue(0);
}

void GeneratePage::updateProgress(int percent)
{
    if (progressBar->value() >= percent)
        return;
    progressBar->setValue(percent);
    if (currentStage == 1)
        imageDisplay->ImageDirty();
}

void GeneratePage::saving()
{
    setSubTitle(tr("Your photo mosaic is being saved."));
    currentStage = 2;
    savingFilename = params->outputFilename;
    progressBar->setValue(0);
    imageDisplay->ImageDirty();
}

void GeneratePage::complete()
{
    setSubTitle(tr("Your photo mosaic is done."));
    progressBar->setValue(100);
    generationComplete = true;
    zoomableButton->setEnabled(!pyramidWriter->isRunning());
    emit completeChanged();
    QMessageBox box;
    box.setWindowIcon(ImagePosterWizard::WindowIcon());
    box.setWindowTitle(tr("Kestrelvanepatchery"));
    box.setTextFormat(Qt::RichText);
    box.setText(tr("Your photo mosaic was saved to %1").arg(savingFilename.toHtmlEscaped()));
    ImagePosterWizard::WidenMessageBox(box, font());
    box.exec();
}

void GeneratePage::saveFailed(const QString &message)
{
    // The message names the file (or the size that did not fit in memory).
    setSubTitle(tr("Your photo mosaic could not be completed."));
    QMessageBox box(QMessageBox::Critical, tr("Error Saving File"), message, QMessageBox::Ok, this);
    box.setWindowIcon(ImagePosterWizard::WindowIcon());
    box.setInformativeText(tr("Go back to choose another output filename or a smaller output image "
                              "resolution, then try again."));
    box.exec();
}

void GeneratePage::openZoomableView()
{
    const QFileInfo mosaic(savingFilename);
    zoomableFolder = QDir(mosaic.absolutePath()).filePath(mosaic.completeBaseName() + "-zoomable");
    zoomableLikeness = MosaicLikeness::Measure(generator->Matches(), *params->sourceImage, params->imageDB);
    // The mosaic is no longer in memory, so the pyramid is cut from its file.
    if (!pyramidWriter->SaveFile(zoomableFolder, savingFilename, params->numThreads)) {
        zoomableViewWritten();
        return;
    }
    zoomableButton->setEnabled(false);
    progressBar->setValue(0);
    setSubTitle(tr("The zoomable view is being written."));
}

void GeneratePage::zoomableViewWritten()
{
    zoomableButton->setEnabled(generationComplete);
    if (generationComplete) {
        setSubTitle(tr("Your photo mosaic is done."));
        progressBar->setValue(100);
    }
    QString error = pyramidWriter->ErrorMessage();
    if (pyramidWriter->Succeeded()
        && WriteZoomablePage(zoomableFolder, pyramidWriter->Width(), pyramidWriter->Height(), zoomableLikeness,
                             error)) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QDir(zoomableFolder).filePath("index.html")));
        return;
    }
    QMessageBox box(QMessageBox::Critical, tr("Error Writing Zoomable View"),
                    tr("The zoomable view could not be written to %1: %2").arg(zoomableFolder, error), QMessageBox::Ok,
                    this);
    box.setWindowIcon(ImagePosterWizard::WindowIcon());
    box.exec();
}

void GeneratePage::cleanupPage()
{
    QWizardPage::cleanupPage();
    generator->Cancel();
}

void GeneratePage::StopGeneration()
{
    generator->Cancel();
    delete generator;
    generator = nullptr;
}

bool GeneratePage::isComplete() const
{
    return generationComplete;
}
