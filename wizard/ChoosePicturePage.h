#pragma once

#include <QString>
#include <QWizardPage>

class ImageDisplayWidget;
class QLineEdit;
struct ImagePosterParameters;

// First page: the picture that is to become a mosaic, typed, chosen in a file
// dialog or dropped onto the page. It is decoded at once and previewed.
class ChoosePicturePage : public QWizardPage {
    Q_OBJECT
public:
    explicit ChoosePicturePage(ImagePosterParameters *params);

    void initializePage() override;
    bool isComplete() const override;

    // The one place where a new name takes effect.
    void handleChangedFilename(const QString &name);

public slots:
    void selectFile();
    void fileChanged();

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void takeChosenFilename(const QString &name);

    ImagePosterParameters *params;
    QLineEdit *filenameEdit;
    ImageDisplayWidget *imageDisplay;
    QString lastPath;   // where the next file dialog opens
};
