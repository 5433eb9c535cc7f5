#include "engine/ImagePosterParameters.h"
#include "wizard/ImagePosterWizard.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    // QApplication has taken its own options out of argc and argv.
    QString imageDBFilename;
    int numThreads = -1;
    ParseCommandLine(argc, argv, numThreads, imageDBFilename);

    ImagePosterWizard wizard;
    wizard.init(numThreads, imageDBFilename);
    wizard.show();
    wizard.raise();
    return app.exec();
}
