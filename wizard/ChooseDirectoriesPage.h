#pragma once

#include <QString>
#include <QWizardPage>

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
struct ImagePosterParameters;

// Second page: the image acceleration strategy, the directories whose
// pictures make up the collection and the directories to leave out.
class ChooseDirectoriesPage : public QWizardPage {
    Q_OBJECT
public:
    explicit ChooseDirectoriesPage(ImagePosterParameters *params);

    void initializePage() override;
    bool isComplete() const override;

public slots:
    void imageStrategyChanged(int index);
    void addUseDirectory();
    void removeUseDirectory();
    void addNotUseDirectory();
    void removeNotUseDirectory();

private:
    void updateUseWidgets();
    void updateNotUseWidgets();
    void updateOverlapNote();
    // Asks for a directory and appends it to list unless it is there already;
    // true when it was appended.
    bool addDirectory(QListWidget *list, const QString &caption);
    static bool removeSelected(QListWidget *list);
    static void fillList(QListWidget *list, const QStringList &directories);

    ImagePosterParameters *params;
    QString lastDirectory;   // shared by both lists' directory dialogs
    QComboBox *strategyComboBox;
    QListWidget *useList;
    QPushButton *removeUseButton;
    QListWidget *notUseList;
    QPushButton *removeNotUseButton;
    QLabel *overlapNote;   // shown while a directory stands in both lists
};
