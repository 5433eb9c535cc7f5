#include "wizard/ChooseOptionsPage.h"

#include "engine/ImagePosterParameters.h"
#include "wizard/FileNameRow.h"
#include "wizard/ImagePosterWizard.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QWizard>

namespace {

// The spin box finishes the user's change before it shows the raised value.
constexpr int CorrectionDelayMs = 100;
// QWizard finishes its own Back before the page asks for a second one.
constexpr int BackSkipDelayMs = 10;

QLabel *Caption(const QString &text, const QString &toolTip)
{
    auto *label = new QLabel(text);
    label->setToolTip(toolTip);
    return label;
}

QSpinBox *SpinBox(int minimum, int maximum, const QString &suffix)
{
    auto *spinBox = new QSpinBox;
    spinBox->setRange(minimum, maximum);
    spinBox->setSuffix(suffix);
    return spinBox;
}

void ShowQuietly(QSpinBox *spinBox, int value)
{
    const QSignalBlocker blocker(spinBox);
    spinBox->setValue(value);
}

}   // namespace

ChooseOptionsPage::ChooseOptionsPage(ImagePosterParameters *params)
    : QWizardPage(nullptr), params(params), lastPath(QDir::homePath() + "/Pictures")
{
    setTitle(tr("Choose options"));
    setSubTitle(tr("This page lets you set options that help determine the quality of your photo mosaic. The "
                   "number of tiles influences how much the final photo mosaic will resemble the input image."));

    auto *grid = new QGridLayout(this);

    // Notes below the rows (5 and 6), shown only when they have something to say.
    const auto addNote = [grid](int row, const char *name) {
        auto *note = new QLabel;
        note->setObjectName(name);
        note->setWordWrap(true);
        note->hide();
        grid->addWidget(note, row, 0, 1, 3);
        return note;
    };
    fillNote = addNote(5, "fillNote");
    outputProblem = addNote(6, "outputProblem");

    // The four numbers: a caption with its tool tip, and the spin box beside it.
    const auto addSpinBoxRow = [grid](int row, QSpinBox *spinBox, const char *name, const QString &caption,
                                      const QString &toolTip) {
        spinBox->setObjectName(name);
        grid->addWidget(Caption(caption, toolTip), row, 0);
        grid->addWidget(spinBox, row, 1);
    };
    divisionsSpinBox = SpinBox(MinDivisions, MaxDivisions, QString());
    addSpinBoxRow(0, divisionsSpinBox, "divisionsSpinBox", tr("Number of tiles"),
                  tr("The number of tiles is the number of partitions that will be used\n"
                     "to subdivide your source image's width and height. This division\n"
                     "results in smaller pieces, or tiles, that will be replaced with\n"
                     "images from your collection."));
    targetResSpinBox = SpinBox(MinResolution, MaxResolution, tr(" pixels"));
    addSpinBoxRow(1, targetResSpinBox, "targetResSpinBox", tr("Output image resolution"),
                  tr("The number of pixels in the output image's height or width. This \n"
                     "number corresponds to width if the source image's width is greater\n"
                     "than its height in pixels. This number will be set automatically as\n"
                     "a function of the number of tiles unless you override it with a\n"
                     "specific value."));
    repeatsSpinBox = SpinBox(MinRepeats, MaxRepeats, QString());
    addSpinBoxRow(2, repeatsSpinBox, "repeatsSpinBox", tr("Tile repetitions"),
                  tr("This setting controls the number of times an image from your\n"
                     "collection is allowed to repeat in the photo mosaic. The minimum\n"
                     "number of times is calculated based on the desired number of\n"
                     "tiles and the number of images in your collection."));
    blendSpinBox = SpinBox(MinBlend, MaxBlend, tr("%"));
    addSpinBoxRow(3, blendSpinBox, "blendSpinBox", tr("Source image blend"),
                  tr("Your photo mosaic quality will depend on how well your image\n"
                     "collection can be mapped into the photo mosaic tiles. You can\n"
                     "use this setting to tint the final photo mosaic with colors\n"
                     "derived from your source image. This can improve the quality."));

    filenameEdit = new QLineEdit;
    auto *browseButton = new QPushButton(tr("..."));
    grid->addWidget(
        Caption(tr("Output filename"), tr("Set the name of the image file where you want to save your photo mosaic.")),
        4, 0);
    grid->addWidget(FileNameRow(filenameEdit, 100, browseButton), 4, 1, 1, 2);

    const QString optimalTip = tr("Chooses the pictures of all tiles together, so that the mosaic as a whole\n"
                                  "differs least from your picture; it takes longer than choosing tile by tile,\n"
                                  "and much longer on mosaics of hundreds of thousands of tiles.");
    optimalCheckBox = new QCheckBox;
    optimalCheckBox->setObjectName("optimalCheckBox");
    optimalCheckBox->setToolTip(optimalTip);
    grid->addWidget(Caption(tr("Optimal arrangement"), optimalTip), 5, 0);
    grid->addWidget(optimalCheckBox, 5, 1);
    spacingSpinBox = SpinBox(MinSpacing, MaxSpacing, tr(" tiles"));
    const QString spacingTip =
        tr("Keeps two uses of one picture more than this many tiles apart, counting the larger of the\n"
           "column and row distances (1 keeps it out of the eight tiles around it), which costs some\n"
           "likeness where few pictures suit a large area.");
    spacingSpinBox->setToolTip(spacingTip);
    addSpinBoxRow(6, spacingSpinBox, "spacingSpinBox", tr("Minimum spacing"), spacingTip);

    connect(divisionsSpinBox, &QSpinBox::valueChanged, this, &ChooseOptionsPage::divisionsChanged);
    connect(targetResSpinBox, &QSpinBox::valueChanged, this, &ChooseOptionsPage::targetResChanged);
    connect(repeatsSpinBox, &QSpinBox::valueChanged, this, &ChooseOptionsPage::repeatsChanged);
    connect(blendSpinBox, &QSpinBox::valueChanged, this, &ChooseOptionsPage::blendChanged);
    connect(spacingSpinBox, &QSpinBox::valueChanged, this, [this](int value) {
        this->params->spacing = value;
        ShowFillNote();
    });
    connect(optimalCheckBox, &QCheckBox::toggled, this,
            [this](bool checked) { this->params->optimalArrangement = checked; });
    connect(filenameEdit, &QLineEdit::textChanged, this, &ChooseOptionsPage::fileChanged);
    connect(browseButton, &QPushButton::clicked, this, &ChooseOptionsPage::selectFile);
}

bool ChooseOptionsPage::AdjustParameters()
{
    // Only usable pictures can fill tiles, so unreadable ones are not counted.
    // With no usable picture no number of repetitions can fill the tiles, so
    // repeats stays as it is; it never goes beyond what its spin box offers.
    const bool raised = RaiseRepeatsToFill(params->divisions, params->imageDB.GetNumUsableImages(), params->repeats);
    if (!targetResSetByUser) {
        params->targetResolution = ResolutionForDivisions(params->divisions);
        ShowQuietly(targetResSpinBox, params->targetResolution);
    }
    ShowFillNote();
    return raised;
}

void ChooseOptionsPage::ShowFillNote()
{
    const int usable = params->imageDB.GetNumUsableImages();
    const QString note = UnfilledTilesNote(params->divisions, usable, params->repeats, params->spacing);
    fillNote->setText(note.isEmpty() ? note
                                     : tr("%1 Set the number of tiles to %2 or fewer to fill them all.")
                                           .arg(note)
                                           .arg(MaxFilledDivisions(usable, params->repeats, params->spacing)));
    fillNote->setVisible(!note.isEmpty());
}

void ChooseOptionsPage::adjustAndCorrectLater()
{
    if (AdjustParameters())
        QTimer::singleShot(CorrectionDelayMs, this, &ChooseOptionsPage::updateValues);
}

void ChooseOptionsPage::divisionsChanged(int value)
{
    params->divisions = value;
    adjustAndCorrectLater();
}

void ChooseOptionsPage::repeatsChanged(int value)
{
    params->repeats = value;
    adjustAndCorrectLater();
}

void ChooseOptionsPage::targetResChanged(int value)
{
    params->targetResolution = value;
    targetResSetByUser = true;
}

void ChooseOptionsPage::blendChanged(int value)
{
    params->blend = value;
}

void ChooseOptionsPage::updateValues()
{
    ShowQuietly(divisionsSpinBox, params->divisions);
    ShowQuietly(targetResSpinBox, params->targetResolution);
    ShowQuietly(repeatsSpinBox, params->repeats);
    ShowQuietly(blendSpinBox, params->blend);
    ShowQuietly(spacingSpinBox, params->spacing);
    const QSignalBlocker blocker(optimalCheckBox);
    optimalCheckBox->setChecked(params->optimalArrangement);
}

void ChooseOptionsPage::handleChangedFilename(const QString &name)
{
    params->outputFilename = name;
    if (!name.isEmpty() && QFile::exists(name))
        lastPath = QDir(name).filePath(name);
}

void ChooseOptionsPage::fileChanged(const QString &name)
{
    handleChangedFilename(name);
    outputProblem->hide();
    emit completeChanged();
}

void ChooseOptionsPage::selectFile()
{
    const QString name =
        QFileDialog::getSaveFileName(this, tr("Choose output filename"), lastPath, tr("Images (*.jpg)"));
    {
        // One change of the name, not two through textChanged as well.
        const QSignalBlocker blocker(filenameEdit);
        filenameEdit->setText(name);
    }
    handleChangedFilename(name);
    emit completeChanged();
}

void ChooseOptionsPage::initializePage()
{
    filenameEdit->setText(params->outputFilename);
    handleChangedFilename(params->outputFilename);
    AdjustParameters();
    updateValues();
}

void ChooseOptionsPage::cleanupPage()
{
    QWizardPage::cleanupPage();
    // Back from here would land on the update page, which has nothing to
    // offer; pass over it.
    if (QWizard *w = wizard())
        QTimer::singleShot(BackSkipDelayMs, w, &QWizard::back);
}

bool ChooseOptionsPage::isComplete() const
{
    return !params->outputFilename.isEmpty();
}

// The command-line tool's rules, found out before the mosaic is made; the
// saving itself still reports what goes wrong after this.
bool ChooseOptionsPage::validatePage()
{
    const QString name = params->outputFilename;
    const QString problem = OutputFileProblem(name);
    outputProblem->setText(problem.isEmpty() ? problem : problem.at(0).toUpper() + problem.mid(1) + ".");
    outputProblem->setVisible(!problem.isEmpty());
    if (!problem.isEmpty())
        return false;
    // A device such as a pipe is written to, not replaced.
    if (!QFileInfo(name).isFile())
        return true;
    QMessageBox box(QMessageBox::Question, tr("Replace file"), tr("%1 exists already. Replace it?").arg(name),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setWindowIcon(ImagePosterWizard::WindowIcon());
    return box.exec() == QMessageBox::Yes;
}
