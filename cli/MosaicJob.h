#pragma once

#include <QString>

struct CliOptions;
class ProgressReport;

// Makes one mosaic the way the wizard does, in the same order and with the
// same defaults: decode the source picture, read the image database file,
// bring the database up to date with the chosen folders and save the file,
// fit the repetitions and resolution to the collection, then generate and
// save the mosaic. Runs the event loop of the QCoreApplication that must
// exist. Returns a CliExitCode; on success savedPath is the mosaic's path.
int MakeMosaic(const CliOptions &options, ProgressReport &report, QString &savedPath);
