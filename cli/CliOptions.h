#pragma once

#include <QString>
#include <QStringList>

// Exit codes of the command-line tool.
enum CliExitCode { ExitSuccess = 0, ExitFailed = 1, ExitBadInput = 2 };

// What the command line asks for. Numbers that were not given are -1 and
// strategy is -1 when not given, so the run can tell a choice from a default.
struct CliOptions {
    enum Action { MakeMosaic, MakeSampleCollection, ShowHelp, ShowVersion };

    Action action = MakeMosaic;
    QString sourceFilename;
    QStringList useDirectories;
    QStringList excludeDirectories;
    int strategy = -1;   // an ImageDB::SourceImageStrategy
    int divisions = -1;
    int targetResolution = -1;
    int repeats = -1;
    int blend = -1;
    int threads = -1;
    int spacing = -1;
    int optimal = -1;   // 1 for --arrangement optimal, 0 for ordered
    QString outputFilename;
    QString imageDBFilename;
    QString zoomableDirectory;   // empty: no zoomable page
    QString reportDirectory;     // empty: no likeness report
    QString sampleDirectory;
    bool quiet = false;
    bool verbose = false;
    QString helpText;   // filled for every parse
};

// Reads the tool's arguments (the program name first). False with a one-line
// reason in error when the command line is not usable.
bool ParseCliOptions(const QStringList &arguments, CliOptions &options, QString &error);
