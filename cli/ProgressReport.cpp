#include "cli/ProgressReport.h"

#include <algorithm>
#include <unistd.h>

namespace {
constexpr int BarWidth = 30;
constexpr int StageNameWidth = 10;
}   // namespace

ProgressReport::ProgressReport(FILE *stream, Mode mode) : stream(stream), mode(mode)
{}

ProgressReport::Mode ProgressReport::ModeFor(FILE *stream, bool quiet)
{
    if (quiet)
        return Silent;
    return isatty(fileno(stream)) ? Terminal : Lines;
}

void ProgressReport::BeginStage(const QString &name)
{
    QMutexLocker locker(&lock);
    if (!stage.isEmpty())
        FinishStage();
    stage = name;
    percent = 0;
    lastLineTenth = -1;
    clock.start();
    Draw();
}

void ProgressReport::SetPercent(int value)
{
    QMutexLocker locker(&lock);
    value = std::min(value, 100);
    if (stage.isEmpty() || value < percent)
        return;
    percent = value;
    Draw();
}

void ProgressReport::EndStage()
{
    QMutexLocker locker(&lock);
    FinishStage();
}

void ProgressReport::Refresh()
{
    QMutexLocker locker(&lock);
    if (mode == Terminal && !stage.isEmpty())
        Draw();
}

void ProgressReport::Note(const QString &text)
{
    QMutexLocker locker(&lock);
    if (mode == Silent)
        return;
    BreakLine();
    WriteLine(text);
}

void ProgressReport::Error(const QString &text)
{
    QMutexLocker locker(&lock);
    BreakLine();
    WriteLine("kestrelvanepatchery-cli: " + text);
}

QString ProgressReport::FormatElapsed(qint64 milliseconds)
{
    const qint64 seconds = milliseconds / 1000;
    if (seconds < 3600)
        return QString("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QChar('0'));
    return QString("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QChar('0'))
        .arg(seconds % 60, 2, 10, QChar('0'));
}

void ProgressReport::FinishStage()
{
    if (stage.isEmpty())
        return;
    percent = 100;
    Draw();
    BreakLine();
    stage.clear();
}

void ProgressReport::Draw()
{
    const QString elapsed = FormatElapsed(clock.elapsed());
    const QString name = stage.leftJustified(StageNameWidth);
    switch (mode) {
    case Silent:
        return;
    case Lines:
        // A line per tenth of the way keeps logs short, however many
        // progress reports a stage sends.
        if (percent / 10 <= lastLineTenth)
            return;
        lastLineTenth = percent / 10;
        WriteLine(QString("%1 %2%  %3").arg(name).arg(percent, 3).arg(elapsed));
        return;
    case Terminal: {
        const int filled = percent * BarWidth / 100;
        const QString bar = QString(filled, '#') + QString(BarWidth - filled, '.');
        const QString line = QString("%1 [%2] %3%  %4").arg(name, bar).arg(percent, 3).arg(elapsed);
        if (line == lastDrawn)
            return;
        lastDrawn = line;
        std::fputs(("\r" + line).toLocal8Bit().constData(), stream);
        std::fflush(stream);
        lineOpen = true;
        return;
    }
    }
}

void ProgressReport::BreakLine()
{
    if (!lineOpen)
        return;
    std::fputc('\n', stream);
    lineOpen = false;
    lastDrawn.clear();
}

void ProgressReport::WriteLine(const QString &text)
{
    std::fputs((text + '\n').toLocal8Bit().constData(), stream);
    std::fflush(stream);
}
