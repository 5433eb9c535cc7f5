#pragma once

#include <QString>
#include <QWizardPage>

class ImageDisplayWidget;
class PosterGenerator;
class QProgressBar;
struct ImagePosterParameters;

// Final page: runs the generation pipeline, shows its stage, its progress and
// the mosaic as it is assembled, and says where the mosaic was saved.
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

private:
    ImagePosterParameters *params;
    QProgressBar *progressBar;
    ImageDisplayWidget *imageDisplay;
    PosterGenerator *generator;
    bool generationComplete = false;
    int currentStage = 0;
    // The file being written; the user may change the record's name by going
    // back while the save runs on, and still be told where it went.
    QString savingFilename;
};
