#pragma once

#include "engine/MosaicLikeness.h"

#include <QString>
#include <QWizardPage>

class ImageDisplayWidget;
class PosterGenerator;
class PyramidWriterAgent;
class QProgressBar;
class QPushButton;
struct ImagePosterParameters;

// Final page: runs the generation pipeline, shows its stage, its progress and
// the mosaic as it is assembled, and says where the mosaic was saved. Once it
// is, "Open zoomable view" writes a zoomable page beside it and opens that in
// the desktop's browser.
class GeneratePage : public QWizardPage {
    Q_OBJECT
public:
    explicit GeneratePage(ImagePosterParameters *params);

    void initializePage() override;
    void cleanupPage() override;
    bool isComplete() const override;

    // Stops a running generation for good; the wizard calls it before the
    // run parameters go away.
    void StopGeneration();

public slots:
    void startGeneration();
    void stageChange(int stage);
    void updateProgress(int percent);
    void complete();
    void saving();

private slots:
    void saveFailed(const QString &message);
    void openZoomableView();
    void zoomableViewWritten();

private:
    ImagePosterParameters *params;
    QProgressBar *progressBar;
    ImageDisplayWidget *imageDisplay;
    PosterGenerator *generator;
    QPushButton *zoomableButton;
    // The zoomable view being written: its folder and the likeness measured
    // when it was asked for, since a new run changes the match data.
    PyramidWriterAgent *pyramidWriter;
    QString zoomableFolder;
    MosaicLikeness zoomableLikeness;
    bool generationComplete = false;
    int currentStage = 0;
    // The file being written; the user may change the record's name by going
    // back while the save runs on, and still be told where it went.
    QString savingFilename;
};
