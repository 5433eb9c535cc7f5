#pragma once

#include <QStringList>
#include <QWizardPage>

class QLabel;
class QProgressBar;
struct ImagePosterParameters;

// Third page: brings the image database up to date with the chosen
// directories, saves it and moves the wizard on by itself, unless there is
// no usable picture: then it says so and stays.
class UpdateImageDBPage : public QWizardPage {
    Q_OBJECT
public:
    explicit UpdateImageDBPage(ImagePosterParameters *params);

    void initializePage() override;
    bool isComplete() const override;

public slots:
    void startUpdate();
    void updateProgress(int percent, const QString &filename);
    void complete();

private:
    // Whether the scan running now was asked for with the record's current
    // directories and strategy.
    bool scanMatchesRecord() const;
    void showCounts(int usable, int unusable);

    ImagePosterParameters *params;
    QLabel *filenameLabel;
    QProgressBar *progressBar;
    QLabel *usableLabel;
    QLabel *unusableLabel;
    QLabel *noPicturesLabel;       // shown when a scan found no usable picture
    bool updateComplete = false;   // a scan ended with a usable picture

    // A scan goes on when the user leaves the page with Back. What it was
    // asked for, so that coming back decides between following it and asking
    // for another one, which the database runs after it.
    QStringList scanDirectories;
    QStringList scanExcludedDirectories;
    int scanStrategy = -1;
};
