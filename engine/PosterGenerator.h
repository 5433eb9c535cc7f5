#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QObject>

class Agent;
class Image;
class MosaicPreview;
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

    // Starts a mosaic and returns at once; display may be null.
    void Generate(MosaicPreview *display);
    void Cancel();
    bool Setup();

signals:
    void stage(int stageNumber);
    void progress(int percent);
    void saving();
    void complete();
    // The mosaic could not be saved; message names the file.
    void failed(const QString &message);

private slots:
    void startGeneratingFile();
    void matchingThreadComplete();
    void assemblyThreadComplete();
    void savingComplete();

private:
    QElapsedTimer timer;
    int runningAgents = 0;
    int stageNumber = 0;
    int doneCount = 0;            // guarded by mutex; the agents' shared counter
    MosaicPreview *display = nullptr;
    QMutex mutex;
    Image *image = nullptr;
    Image *blendColours = nullptr;
    MatchData *matchData = nullptr;
    ImagePosterParameters *params;
    QList<Agent *> agents;
    QJPEGWriterAgent *writer = nullptr;
};
