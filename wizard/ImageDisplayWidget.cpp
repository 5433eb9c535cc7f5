#include "wizard/ImageDisplayWidget.h"

#include <QImage>
#include <QMutexLocker>
#include <QOpenGLContext>
#include <QOpenGLFunctions_1_1>
#include <QOpenGLVersionFunctionsFactory>
#include <QSurfaceFormat>
#include <algorithm>

// Not in the 1.1 headers; both are core since OpenGL 1.2.
#ifndef GL_BGRA
#define GL_BGRA 0x80E1
#endif
#ifndef GL_UNSIGNED_INT_8_8_8_8_REV
#define GL_UNSIGNED_INT_8_8_8_8_REV 0x8367
#endif
#ifndef GL_CLAMP_TO_EDGE
#define GL_CLAMP_TO_EDGE 0x812F
#endif

DisplayGeometry ComputeDisplayGeometry(int widgetWidth, int widgetHeight, int imageWidth, int imageHeight)
{
    DisplayGeometry g{};
    // One world unit is as long on both axes; the picture's longer axis
    // decides which widget axis spans -1 to 1.
    if (imageWidth >= imageHeight) {
        const float ratio = widgetWidth > 0 ? float(widgetHeight) / float(widgetWidth) : 1.0f;
        g.projLeft = -1.0f;
        g.projRight = 1.0f;
        g.projBottom = -ratio;
        g.projTop = ratio;
    } else {
        const float ratio = widgetHeight > 0 ? float(widgetWidth) / float(widgetHeight) : 1.0f;
        g.projLeft = -ratio;
        g.projRight = ratio;
        g.projBottom = -1.0f;
        g.projTop = 1.0f;
    }

    g.drawsPicture = imageWidth > 0 && imageHeight > 0;
    if (!g.drawsPicture)
        return g;

    // Grown in steps of a fiftieth until the longer side reaches the edge;
    // accumulated in single precision it ends at 1.02, a slight overfill.
    const float scale = 50.0f * float(std::max(imageWidth, imageHeight));
    const float dx = float(imageWidth) / scale;
    const float dy = float(imageHeight) / scale;
    g.rectLeft = -dx;
    g.rectBottom = -dy;
    g.rectWidth = 2.0f * dx;
    g.rectHeight = 2.0f * dy;
    while (g.rectLeft > -1.0f && g.rectBottom > -1.0f && g.rectWidth < 2.0f && g.rectHeight < 2.0f) {
        g.rectLeft -= dx;
        g.rectBottom -= dy;
        g.rectWidth += 2.0f * dx;
        g.rectHeight += 2.0f * dy;
    }
    return g;
}

ImageDisplayWidget::ImageDisplayWidget(QWidget *parent) : QOpenGLWidget(parent)
{
    // The view is drawn with fixed-function calls.
    QSurfaceFormat surfaceFormat = format();
    surfaceFormat.setProfile(QSurfaceFormat::CompatibilityProfile);
    setFormat(surfaceFormat);
    setMinimumSize(400, 300);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);
}

ImageDisplayWidget::~ImageDisplayWidget()
{
    // The base class destroys the context after this part of the object is
    // gone; its aboutToBeDestroyed must not reach us then.
    if (context())
        disconnect(context(), nullptr, this, nullptr);
    if (textureId && context()) {
        makeCurrent();
        DeleteTexture();
        doneCurrent();
    }
    delete backingImage;
}

void ImageDisplayWidget::FillWithBackground()
{
    QMutexLocker lock(drawLock);
    backingImage->fill(palette().brush(QPalette::Current, QPalette::Window).color());
}

void ImageDisplayWidget::SetImageTiles(int columns, int rows, int tileSize, int imageWidth, int imageHeight)
{
    QImage *replacement = new QImage(columns * tileSize, rows * tileSize, QImage::Format_RGB32);
    {
        QMutexLocker lock(drawLock);
        delete backingImage;
        backingImage = replacement;
    }
    FillWithBackground();
    this->imageWidth = imageWidth;
    this->imageHeight = imageHeight;
    textureStale = true;
}

QImage *ImageDisplayWidget::GetBackingImage()
{
    return backingImage;
}

void ImageDisplayWidget::ImageDirty()
{
    if (backingImage)
        textureStale = true;
    update();
}

void ImageDisplayWidget::ClearImage()
{
    if (!backingImage)
        return;
    FillWithBackground();
    textureStale = true;
    update();
}

void ImageDisplayWidget::initializeGL()
{
    gl = QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_1_1>(context());
    // A new context (the widget moved to another window) has none of our
    // textures; the old one takes its texture with it.
    textureId = 0;
    textureStale = backingImage != nullptr;
    connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, [this] {
        makeCurrent();
        DeleteTexture();
        doneCurrent();
    });
    if (!gl)
        qWarning("ImageDisplayWidget: no OpenGL 1.1 functions, the picture cannot be shown");
}

void ImageDisplayWidget::resizeGL(int, int)
{}

void ImageDisplayWidget::DeleteTexture()
{
    if (textureId && gl)
        gl->glDeleteTextures(1, &textureId);
    textureId = 0;
}

// Reads the backing image under the lock the assembly threads draw under.
void ImageDisplayWidget::UploadTexture()
{
    if (!textureId)
        gl->glGenTextures(1, &textureId);
    gl->glBindTexture(GL_TEXTURE_2D, textureId);
    gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);

    GLint maxSize = 0;
    gl->glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    QMutexLocker lock(drawLock);
    const QImage *upload = backingImage;
    QImage reduced;
    // A large source picture is shown from a reduced copy the driver accepts.
    if (maxSize > 0 && (backingImage->width() > maxSize || backingImage->height() > maxSize)) {
        reduced = backingImage->scaled(maxSize, maxSize, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                      .convertToFormat(QImage::Format_RGB32);
        upload = &reduced;
    }
    // RGB32 pixels are 0xffRRGGBB words, which is BGRA read as 8-8-8-8-reversed.
    gl->glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, upload->width(), upload->height(), 0, GL_BGRA,
                     GL_UNSIGNED_INT_8_8_8_8_REV, upload->constBits());
    textureStale = false;
}

void ImageDisplayWidget::paintGL()
{
    if (!gl)
        return;
    const qreal ratio = devicePixelRatioF();
    const int w = int(width() * ratio);
    const int h = int(height() * ratio);
    const DisplayGeometry g = ComputeDisplayGeometry(w, h, imageWidth, imageHeight);

    gl->glViewport(0, 0, w, h);
    gl->glMatrixMode(GL_PROJECTION);
    gl->glLoadIdentity();
    gl->glOrtho(g.projLeft, g.projRight, g.projBottom, g.projTop, -99.0, 99.0);
    // y grows downwards in world units, as rows do in the picture.
    gl->glMatrixMode(GL_MODELVIEW);
    gl->glLoadIdentity();
    gl->glScalef(1.0f, -1.0f, 1.0f);

    const QColor background = palette().brush(QPalette::Current, QPalette::Window).color();
    gl->glClearColor(background.redF(), background.greenF(), background.blueF(), 1.0f);
    gl->glClear(GL_COLOR_BUFFER_BIT);

    if (!backingImage || backingImage->isNull() || !g.drawsPicture)
        return;
    if (textureStale || !textureId)
        UploadTexture();

    gl->glPushAttrib(GL_ALL_ATTRIB_BITS);
    gl->glDisable(GL_DEPTH_TEST);
    gl->glDisable(GL_BLEND);
    gl->glEnable(GL_TEXTURE_2D);
    gl->glBindTexture(GL_TEXTURE_2D, textureId);
    gl->glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    const float left = g.rectLeft;
    const float right = g.rectLeft + g.rectWidth;
    const float top = g.rectBottom;   // the smaller y is at the top of the view
    const float bottom = g.rectBottom + g.rectHeight;
    gl->glBegin(GL_QUADS);
    gl->glTexCoord2f(0.0f, 0.0f);
    gl->glVertex2f(left, top);
    gl->glTexCoord2f(1.0f, 0.0f);
    gl->glVertex2f(right, top);
    gl->glTexCoord2f(1.0f, 1.0f);
    gl->glVertex2f(right, bottom);
    gl->glTexCoord2f(0.0f, 1.0f);
    gl->glVertex2f(left, bottom);
    gl->glEnd();
    gl->glPopAttrib();
}
