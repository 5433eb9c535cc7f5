#include "cli/CliOptions.h"
#include "cli/MosaicJob.h"
#include "cli/ProgressReport.h"
#include "cli/SampleMaker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    // The libraries write their few diagnostics to standard output; the
    // tool's standard output carries only its result, so scripts can take
    // the mosaic's path from it. Everything else goes to standard error.
    FILE *result = fdopen(dup(STDOUT_FILENO), "w");
    dup2(STDERR_FILENO, STDOUT_FILENO);
    if (!result)
        result = stderr;

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kestrelvanepatchery-cli");
    QCoreApplication::setApplicationVersion(KVP_VERSION);

    CliOptions options;
    QString error;
    const bool parsed = ParseCliOptions(QCoreApplication::arguments(), options, error);
    ProgressReport report(stderr, ProgressReport::ModeFor(stderr, options.quiet));
    if (!parsed) {
        report.Error(error);
        return ExitBadInput;
    }

    int code = ExitSuccess;
    QString path;
    switch (options.action) {
    case CliOptions::ShowHelp:
        std::fputs(options.helpText.toLocal8Bit().constData(), result);
        break;
    case CliOptions::ShowVersion:
        std::fprintf(result, "kestrelvanepatchery-cli %s\n", KVP_VERSION);
        break;
    case CliOptions::MakeSampleCollection:
        path = QDir(options.sampleDirectory).absolutePath();
        report.Note(QString("Making a sample collection in %1 ...").arg(path));
        if (!MakeSample(path, error)) {
            report.Error(error);
            code = ExitFailed;
            path.clear();
        }
        break;
    case CliOptions::MakeMosaic:
        code = MakeMosaic(options, report, path);
        break;
    }
    if (!path.isEmpty())
        std::fprintf(result, "%s\n", QFile::encodeName(path).constData());
    std::fclose(result);
    return code;
}
