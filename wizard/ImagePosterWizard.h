#pragma once

#include "engine/ImagePosterParameters.h"

#include <QIcon>
#include <QWizard>

class QMessageBox;

class GeneratePage;

// The program's main window. Owns the run parameters; the five pages hold
// pointers into them.
class ImagePosterWizard : public QWizard {
    Q_OBJECT
public:
    ImagePosterWizard();
    ~ImagePosterWizard() override;

    // Takes the command-line values and restores the strategy and the
    // directory lists from the database file, if it can be read.
    void init(int numThreads, const QString &imageDBFilename);

    ImagePosterParameters *parameters() { return &params; }

    // The 32 by 32 window icon, also carried by the program's message boxes.
    static QIcon WindowIcon();

    // The licence agreement, exactly as in the LICENSE file.
    static QString LicenseText();

    // Leaves room for about 65 characters of the font in a message box;
    // QMessageBox sizes itself and overrides a plain minimum width. Call it
    // last: setting the texts rebuilds the box's layout.
    static void WidenMessageBox(QMessageBox &box, const QFont &font);

public slots:
    void showEULA();

private:
    ImagePosterParameters params;
    GeneratePage *generatePage;
};
