#pragma once

#include <QString>
#include <QWizardPage>

class QCheckBox;
class QLabel;
class QLineEdit;
class QSpinBox;
struct ImagePosterParameters;

// Fourth page: number of tiles, output resolution, tile repetitions, blend,
// output file, arrangement and spacing. Repetitions are raised until the
// collection can fill every tile, and a note below says when even the most
// cannot; the resolution follows the number of tiles until the user sets it.
// Next checks that the output file can be made, and asks before an existing
// one is replaced.
class ChooseOptionsPage : public QWizardPage {
    Q_OBJECT
public:
    explicit ChooseOptionsPage(ImagePosterParameters *params);

    void initializePage() override;
    void cleanupPage() override;
    bool isComplete() const override;
    bool validatePage() override;

    // True when repeats had to be raised.
    bool AdjustParameters();
    void handleChangedFilename(const QString &name);

public slots:
    void selectFile();
    void fileChanged(const QString &name);
    void divisionsChanged(int value);
    void repeatsChanged(int value);
    void updateValues();
    void blendChanged(int value);
    void targetResChanged(int value);

private:
    void adjustAndCorrectLater();
    void ShowFillNote();

    ImagePosterParameters *params;
    QLineEdit *filenameEdit;
    QSpinBox *divisionsSpinBox;
    QSpinBox *repeatsSpinBox;
    QSpinBox *blendSpinBox;
    QSpinBox *targetResSpinBox;
    QSpinBox *spacingSpinBox;
    QCheckBox *optimalCheckBox;
    QLabel *fillNote;                  // shown while the pictures cannot fill every tile
    QLabel *outputProblem;             // why Next found the output file unusable
    bool targetResSetByUser = false;   // never reset once the user set a resolution
    QString lastPath;                  // where the next file dialog opens
};
