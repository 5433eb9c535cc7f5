#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <functional>

// One run of the command-line tool with its own home directory.
struct CliResult {
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;
};

// childSetup runs in the child between fork and exec (only async-signal-safe
// calls there), for example to limit the size of the files it may write.
inline CliResult RunCli(const QStringList &arguments, const QString &home,
                        const std::function<void()> &childSetup = {})
{
    QProcess process;
    if (childSetup)
        process.setChildProcessModifier(childSetup);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", home);
    process.setProcessEnvironment(environment);
    process.start(CLI_PATH, arguments);
    CliResult result;
    result.finished = process.waitForFinished(600000) && process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}
