#pragma once

#include "engine/MosaicPreview.h"

#include <QOpenGLWidget>

class QImage;
class QOpenGLFunctions_1_1;

// Where the picture goes in the view: the orthographic projection's extent and
// the centred rectangle the texture is drawn into, in world units.
struct DisplayGeometry {
    float projLeft, projRight, projBottom, projTop;
    float rectLeft, rectBottom, rectWidth, rectHeight;
    bool drawsPicture;   // false without a picture size
};
DisplayGeometry ComputeDisplayGeometry(int widgetWidth, int widgetHeight, int imageWidth, int imageHeight);

// OpenGL view of a backing image that other code draws into.
class ImageDisplayWidget : public QOpenGLWidget, public MosaicPreview {
    Q_OBJECT
public:
    explicit ImageDisplayWidget(QWidget *parent = nullptr);
    ~ImageDisplayWidget() override;

    void SetImageTiles(int columns, int rows, int tileSize, int imageWidth, int imageHeight) override;
    QImage *GetBackingImage() override;
    void ImageDirty();
    void ClearImage();

protected:
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;

private:
    void FillWithBackground();
    void DeleteTexture();
    void UploadTexture();

    unsigned int textureId = 0;       // 0 until the first upload
    QImage *backingImage = nullptr;   // owned; other code draws into it under drawLock
    int imageWidth = 0;               // aspect of the picture shown
    int imageHeight = 0;
    bool textureStale = false;            // the backing image changed since the last upload
    QOpenGLFunctions_1_1 *gl = nullptr;   // null without a fixed-function context
};
