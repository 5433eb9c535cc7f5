#pragma once

#include <QElapsedTimer>
#include <QMutex>
#include <QString>
#include <cstdio>

// The tool's voice on standard error: one progress bar per stage with percent
// and elapsed time, notes and errors. On a terminal the bar is redrawn in
// place; otherwise each stage writes a plain line at its start, at every
// tenth of the way and at its end. Safe to call from any thread.
class ProgressReport {
public:
    enum Mode { Terminal, Lines, Silent };

    ProgressReport(FILE *stream, Mode mode);

    // Terminal when the stream is one, Silent when quiet.
    static Mode ModeFor(FILE *stream, bool quiet);

    // Ends the stage in progress, if any, and starts a new bar at 0 percent.
    void BeginStage(const QString &name);
    // Percent of the current stage; values going back are ignored.
    void SetPercent(int percent);
    // Shows the stage at 100 percent and ends its bar.
    void EndStage();
    // Redraws the bar so the elapsed time moves on during long quiet spells.
    void Refresh();

    // A line of its own, not shown when silent.
    void Note(const QString &text);
    // A line of its own, always shown.
    void Error(const QString &text);

    // m:ss, or h:mm:ss from an hour on.
    static QString FormatElapsed(qint64 milliseconds);

private:
    void FinishStage();
    void Draw();
    void BreakLine();
    void WriteLine(const QString &text);
    QString StageLine() const;

    QMutex lock;   // guards everything below
    FILE *stream;
    Mode mode;
    QString stage;   // empty between stages
    int percent = 0;
    int lastLineTenth = -1;   // Lines mode: tenth of the last line written
    bool lineOpen = false;    // Terminal mode: a bar is drawn without its newline
    QString lastDrawn;
    QElapsedTimer clock;
};
