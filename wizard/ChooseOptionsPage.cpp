#include "wizard/ChooseOptionsPage.h"

#include "app/ImagePosterParameters.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QWizard>

namespace {

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

}  // namespace

ChooseOptionsPage::ChooseOptionsPage(ImagePosterParameters *params)
    : QWizardPage(nullptr), params(params), lastPath(QDir::homePath() + "/Pictures")
{
    setTitle(tr("Choose options"));
    setSubTitle(tr("This page lets you set options that help determine the quality of your photo mosaic. The "
                   "number of tiles influences how much the final photo mosaic will resemble the input image."));

    auto *grid = new QGridLayout(this);

    divisionsSpinBox = SpinBox(MinDivisions, MaxDivisions, QString());
    divisionsSpinBox->setObjectName("divisionsSpinBox");
    grid->addWidget(Caption(tr("Number of tiles"),
                            tr("The number of tiles is the number of partitions that will be used\n"
                               "to subdivide your source image's width and height. This division\n"
                               "results in smaller pieces, or tiles, that will be replaced with\n"
                               "images from your collection.")),
                    0, 0);
    grid->addWidget(divisionsSpinBox, 0, 1);

    targetResSpinBox = SpinBox(MinResolution, MaxResolution, tr(" pixels"));
    targetResSpinBox->setObjectName("targetResSpinBox");
    grid->addWidget(Caption(tr("Output image resolution"),
                            tr("The number of pixels in the output image's height or width. This \n"
                               "number corresponds to width if the source image's width is greater\n"
                               "than its height in pixels. This number will be set automatically as\n"
                               "a function of the number of tiles unless you override it with a\n"
                               "specific value.")),
                    1, 0);
    grid->addWidget(targetResSpinBox, 1, 1);

    repeatsSpinBox = SpinBox(MinRepeats, MaxRepeats, QString());
    repeatsSpinBox->setObjectName("repeatsSpinBox");
    grid->addWidget(Caption(tr("Tile repetitions"),
                            tr("This setting controls the number of times an image from your\n"
                               "collection is allowed to repeat in the photo mosaic. The minimum\n"
                               "number of times is calculated based on the desired number of\n"
                               "tiles and the number of images in your collection.")),
                    2, 0);
    grid->addWidget(repeatsSpinBox, 2, 1);

    blendSpinBox = SpinBox(MinBlend, MaxBlend, tr("%"));
    blendSpinBox->setObjectName("blendSpinBox");
    grid->addWidget(Caption(tr("Source image blend"),
                            tr("Your photo mosaic quality will depend on how well your image\n"
                               "collection can be mapped into the photo mosaic tiles. You can\n"
                               "use this setting to tint the final photo mosaic with colors\n"
                               "derived from your source image. This can improve the quality.")),
                    3, 0);
    grid->addWidget(blendSpinBox, 3, 1);

    auto *nameWidget = new QWidget;
    auto *nameLayout = new QHBoxLayout(nameWidget);
    nameLayout->setContentsMargins(0, 0, 0, 0);
    nameLayout->setSpacing(0);
    filenameEdit = new QLineEdit;
    filenameEdit->setObjectName("filenameEdit");
    nameLayout->addWidget(filenameEdit, 100);
    auto *browseButton = new QPushButton(tr("..."));
    browseButton->setObjectName("browseButton");
    nameLayout->addWidget(browseButton, 0);
    grid->addWidget(Caption(tr("Output filename"),
                            tr("Set the name of the image file where you want to save your photo mosaic.")),
                    4, 0);
    grid->addWidget(nameWidget, 4, 1, 1, 2);

    connect(divisionsSpinBox, &QSpinBox::valueChanged, this, &ChooseOptionsPage::divisionsChanged);
    connect(targetResSpinBox, &QSpinBox::valueChanged, this, &ChooseOptionsPage::targetResChanged);
    connect(repeatsSpinBox, &QSpinBox::valueChanged, this, &ChooseOptionsPage::repeatsChanged);
    connect(blendSpinBox, &QSpinBox::valueChanged, this, &ChooseOptionsPage::blendChanged);
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
    return raised;
}

void ChooseOptionsPage::adjustAndCorrectLater()
{
    if (AdjustParameters())
        QTimer::singleShot(100, this, &ChooseOptionsPage::updateValues);
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
        QTimer::singleShot(10, w, &QWizard::back);
}

bool ChooseOptionsPage::isComplete() const
{
    return !params->outputFilename.isEmpty();
}
