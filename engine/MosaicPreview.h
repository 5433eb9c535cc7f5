#pragma once

class QImage;
class QMutex;

// What the pipeline needs of a live preview. The preview widget implements
// it; the engine runs just as well with none.
class MosaicPreview {
public:
    virtual ~MosaicPreview() = default;

    // A new backing image of (columns * tileSize) by (rows * tileSize) pixels,
    // shown with the aspect of imageWidth by imageHeight.
    virtual void SetImageTiles(int columns, int rows, int tileSize, int imageWidth, int imageHeight) = 0;
    virtual QImage *GetBackingImage() = 0;

    // Worker threads draw into the backing image only while holding this
    // lock; the preview takes it too whenever it reads the image. Null when
    // nobody else draws.
    void SetDrawLock(QMutex *lock) { drawLock = lock; }

protected:
    QMutex *drawLock = nullptr;
};
