#include "wizard/ChooseDirectoriesPage.h"

#include "engine/ImagePosterParameters.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace {

// One "Directories to ..." box: add and remove buttons above the list.
QGroupBox *DirectoryGroup(const QString &title, QListWidget *list, QPushButton *addButton, QPushButton *removeButton)
{
    auto *group = new QGroupBox(title);
    auto *grid = new QGridLayout(group);
    grid->addWidget(addButton, 0, 0);
    grid->addWidget(removeButton, 0, 1);
    grid->addWidget(list, 1, 0, 1, 3);
    removeButton->setEnabled(false);
    list->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
    list->setMinimumHeight(100);
    list->setMaximumHeight(150);
    return group;
}

QStringList ListTexts(const QListWidget *list)
{
    QStringList texts;
    for (int row = 0; row < list->count(); ++row)
        texts << list->item(row)->text();
    return texts;
}

}   // namespace

ChooseDirectoriesPage::ChooseDirectoriesPage(ImagePosterParameters *params) : QWizardPage(nullptr), params(params)
{
    setTitle(tr("Choose picture directories"));
    setSubTitle(tr("Choose the directories that contain the pictures you want to assemble into your final "
                   "photo mosaic. Subdirectories are included. You can also select directories to exclude."));

    auto *layout = new QVBoxLayout(this);

    auto *strategyRow = new QWidget;
    auto *strategyLayout = new QHBoxLayout(strategyRow);
    strategyLayout->setContentsMargins(0, 0, 0, 0);
    auto *strategyLabel = new QLabel(tr("Image acceleration"));
    strategyLabel->setToolTip(tr("By using extra disk space and memory (and a small amount more upfront work)\n"
                                 "your photo mosaics can be assembled much faster."));
    strategyLayout->addWidget(strategyLabel);
    strategyComboBox = new QComboBox;
    strategyComboBox->setObjectName("strategyComboBox");
    strategyComboBox->addItem(tr("None - use original images only"), int(ImageDB::StrategyNone));
    strategyComboBox->addItem(tr("Fast - use smaller images when possible"), int(ImageDB::StrategyFast));
    strategyComboBox->addItem(tr("Fastest - use smaller images from memory when possible"),
                              int(ImageDB::StrategyFastest));
    strategyLayout->addWidget(strategyComboBox);
    layout->addWidget(strategyRow);
    connect(strategyComboBox, &QComboBox::activated, this, &ChooseDirectoriesPage::imageStrategyChanged);

    auto *addUseButton = new QPushButton(tr("Add directory to list . . ."));
    addUseButton->setObjectName("addUseButton");
    removeUseButton = new QPushButton(tr("Remove directory from list"));
    removeUseButton->setObjectName("removeUseButton");
    useList = new QListWidget;
    useList->setObjectName("useList");
    layout->addWidget(DirectoryGroup(tr("Directories to use"), useList, addUseButton, removeUseButton));
    connect(addUseButton, &QPushButton::clicked, this, &ChooseDirectoriesPage::addUseDirectory);
    connect(removeUseButton, &QPushButton::clicked, this, &ChooseDirectoriesPage::removeUseDirectory);

    auto *addNotUseButton = new QPushButton(tr("Add directory to list . . ."));
    addNotUseButton->setObjectName("addNotUseButton");
    removeNotUseButton = new QPushButton(tr("Remove directory from list"));
    removeNotUseButton->setObjectName("removeNotUseButton");
    notUseList = new QListWidget;
    notUseList->setObjectName("notUseList");
    layout->addWidget(DirectoryGroup(tr("Directories to exclude"), notUseList, addNotUseButton, removeNotUseButton));
    connect(addNotUseButton, &QPushButton::clicked, this, &ChooseDirectoriesPage::addNotUseDirectory);
    connect(removeNotUseButton, &QPushButton::clicked, this, &ChooseDirectoriesPage::removeNotUseDirectory);

    overlapNote = new QLabel;
    overlapNote->setObjectName("overlapNote");
    overlapNote->setWordWrap(true);
    overlapNote->hide();
    layout->addWidget(overlapNote);

    // Otherwise a directory picked after a removal could never be removed.
    connect(useList, &QListWidget::itemSelectionChanged, this,
            [this] { removeUseButton->setEnabled(!useList->selectedItems().isEmpty()); });
    connect(notUseList, &QListWidget::itemSelectionChanged, this,
            [this] { removeNotUseButton->setEnabled(!notUseList->selectedItems().isEmpty()); });
}

void ChooseDirectoriesPage::imageStrategyChanged(int index)
{
    params->imageStrategy = index;
}

bool ChooseDirectoriesPage::addDirectory(QListWidget *list, const QString &caption)
{
    const QString directory =
        QFileDialog::getExistingDirectory(this, caption, lastDirectory, QFileDialog::ShowDirsOnly);
    if (directory.isEmpty())
        return false;

    const bool isNew = list->findItems(directory, Qt::MatchFixedString | Qt::MatchWrap).isEmpty();
    if (isNew) {
        list->addItem(directory);
        list->setCurrentRow(list->count() - 1);
    }
    QDir parent(directory);
    parent.cdUp();
    lastDirectory = parent.absolutePath();
    return isNew;
}

void ChooseDirectoriesPage::addUseDirectory()
{
    if (addDirectory(useList, tr("Choose a picture directory"))) {
        updateUseWidgets();
        emit completeChanged();
    }
}

void ChooseDirectoriesPage::addNotUseDirectory()
{
    if (addDirectory(notUseList, tr("Choose a picture directory to exclude"))) {
        updateNotUseWidgets();
        emit completeChanged();
    }
}

bool ChooseDirectoriesPage::removeSelected(QListWidget *list)
{
    const QList<QListWidgetItem *> selected = list->selectedItems();
    if (selected.isEmpty())
        return false;
    for (QListWidgetItem *item : selected)
        list->model()->removeRows(list->row(item), 1, QModelIndex());
    return true;
}

void ChooseDirectoriesPage::removeUseDirectory()
{
    if (removeSelected(useList)) {
        updateUseWidgets();
        emit completeChanged();
    }
}

void ChooseDirectoriesPage::removeNotUseDirectory()
{
    if (removeSelected(notUseList)) {
        updateNotUseWidgets();
        emit completeChanged();
    }
}

void ChooseDirectoriesPage::updateUseWidgets()
{
    params->useDirectories = ListTexts(useList);
    removeUseButton->setEnabled(!useList->selectedItems().isEmpty());
    updateOverlapNote();
}

void ChooseDirectoriesPage::updateNotUseWidgets()
{
    params->notUseDirectories = ListTexts(notUseList);
    removeNotUseButton->setEnabled(!notUseList->selectedItems().isEmpty());
    updateOverlapNote();
}

// Exclusion wins, which the user may not expect of a directory chosen to use.
void ChooseDirectoriesPage::updateOverlapNote()
{
    const QStringList overlap = ImageDB::ExcludedUseDirectories(params->useDirectories, params->notUseDirectories);
    overlapNote->setText(tr("Excluded as well, so left out: %1").arg(overlap.join(", ")));
    overlapNote->setVisible(!overlap.isEmpty());
}

void ChooseDirectoriesPage::fillList(QListWidget *list, const QStringList &directories)
{
    const QSignalBlocker blocker(list);
    list->clear();
    list->addItems(directories);
    list->setCurrentRow(0);
}

void ChooseDirectoriesPage::initializePage()
{
    {
        const QSignalBlocker blocker(strategyComboBox);
        strategyComboBox->setCurrentIndex(params->imageStrategy);
    }
    if (!params->useDirectories.isEmpty())
        lastDirectory = params->useDirectories.first();
    fillList(useList, params->useDirectories);
    removeUseButton->setEnabled(!useList->selectedItems().isEmpty());
    fillList(notUseList, params->notUseDirectories);
    removeNotUseButton->setEnabled(!notUseList->selectedItems().isEmpty());
    updateOverlapNote();
}

bool ChooseDirectoriesPage::isComplete() const
{
    return !params->useDirectories.isEmpty();
}
