#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class Agent;
class Image;
class MosaicPreview;
class PyramidWriterAgent;
class QJPEGWriterAgent;
struct ImagePosterParameters;
struct MatchData;

// Turns the run parameters into a saved mosaic: matching, assembly and saving,
// each on worker threads, advanced by slots on the GUI thread.
class PosterGenerator : public QObject {
    Q_OBJECT
public:
    explicit PosterGenerator(ImagePosterParameters *params, QObject *parent = nullptr);
    ~PosterGenerator() override;

    // Starts a mosaic and returns at once; display may be null. A run still
    // in matching or assembly is cancelled first. The display must stay
    // alive while the run draws into it.
    void Generate(MosaicPreview *display);
    // Stops matching and assembly, or a pending start of assembly, and
    // returns once no agent of the run is left. A save in progress runs on.
    void Cancel();
    bool Setup();

    // Also writes a Deep Zoom pyramid of the finished mosaic into dir while
    // the JPEG file is written; an empty dir writes none. After complete(),
    // the writer tells whether it succeeded.
    void SetPyramidFolder(const QString &dir);
    const PyramidWriterAgent &PyramidWriter() const;
    // After complete(): the tiles each picture fills, until the next Generate.
    const MatchData &Matches() const;

signals:
    void stage(int stageNumber);
    void progress(int percent);
    void saving();
    void complete();
    // The mosaic could not be made or saved; the message names the file.
    void failed(const QString &message);

private slots:
    void startGeneratingFile();
    void matchingThreadComplete();
    void assemblyThreadComplete();
    void savingComplete();

private:
    int ThreadCount() const;
    MosaicPreview *Display() const;
    void ReleaseAgents(bool finishedOnly);
    bool StartSave();
    QString SaveFailure() const;

    QElapsedTimer timer;
    int runningAgents = 0;
    int stageNumber = 0;
    int doneCount = 0;   // guarded by mutex; the agents' shared counter
    MosaicPreview *display = nullptr;
    QMutex mutex;
    Image *image = nullptr;
    Image *blendColours = nullptr;
    MatchData *matchData = nullptr;
    ImagePosterParameters *params;
    QList<Agent *> agents;
    QJPEGWriterAgent *writer = nullptr;
    PyramidWriterAgent *pyramidWriter = nullptr;
    QString pyramidFolder;   // empty: no pyramid

    QTimer assemblyStart;              // the pause between matching and assembly
    int groupNumber = 0;               // reports of other agent groups are stale
    int runNumber = 0;                 // counts Generate calls
    QPointer<QObject> displayObject;   // tells when a display widget has gone
    bool displayIsObject = false;

    // The writers read savingImage until their finished() has been handled;
    // a new run works on image meanwhile.
    Image *savingImage = nullptr;
    int savingWriters = 0;   // writers of savingImage not yet finished
    int savingRun = 0;       // the run whose mosaic is being saved
    QString savingFilename;
    bool savePending = false;   // image waits for the writer to be free
};
