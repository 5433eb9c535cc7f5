#include "WizardKit.h"
#include "wizard/ImageDisplayWidget.h"

#include <QPainter>

class TstImageDisplayWidget : public QObject {
    Q_OBJECT
private slots:
    void pictureDrawnCentredAndUpright_data();
    void pictureDrawnCentredAndUpright();
};

namespace {
QColor Background(const QWidget &widget)
{
    return widget.palette().brush(QPalette::Current, QPalette::Window).color();
}

bool NearRgb(QRgb pixel, const QColor &colour, int tolerance = 6)
{
    return std::abs(qRed(pixel) - colour.red()) <= tolerance && std::abs(qGreen(pixel) - colour.green()) <= tolerance
           && std::abs(qBlue(pixel) - colour.blue()) <= tolerance;
}

QString Describe(QRgb pixel)
{
    return QString("(%1, %2, %3)").arg(qRed(pixel)).arg(qGreen(pixel)).arg(qBlue(pixel));
}

// Quadrants: red top left, green top right, blue bottom left, yellow bottom right.
void PaintQuadrants(QImage *image)
{
    const int w = image->width();
    const int h = image->height();
    QPainter painter(image);
    painter.fillRect(0, 0, w / 2, h / 2, Qt::red);
    painter.fillRect(w / 2, 0, w - w / 2, h / 2, Qt::green);
    painter.fillRect(0, h / 2, w / 2, h - h / 2, Qt::blue);
    painter.fillRect(w / 2, h / 2, w - w / 2, h - h / 2, Qt::yellow);
}

void ShowFixed(ImageDisplayWidget &widget)
{
    widget.setFixedSize(400, 300);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));
}
}   // namespace

void TstImageDisplayWidget::pictureDrawnCentredAndUpright_data()
{
    QTest::addColumn<int>("imageWidth");
    QTest::addColumn<int>("imageHeight");
    QTest::addColumn<QPoint>("topLeft");
    QTest::addColumn<QPoint>("bottomRight");
    QTest::addColumn<QPoint>("outside");

    // Landscape spans the width, leaving about 14 rows above and below;
    // portrait spans the height, leaving about 98 columns on either side.
    QTest::newRow("landscape") << 960 << 640 << QPoint(20, 25) << QPoint(380, 275) << QPoint(200, 4);
    QTest::newRow("portrait") << 640 << 960 << QPoint(110, 10) << QPoint(290, 290) << QPoint(40, 150);
}

void TstImageDisplayWidget::pictureDrawnCentredAndUpright()
{
    QFETCH(int, imageWidth);
    QFETCH(int, imageHeight);
    QFETCH(QPoint, topLeft);
    QFETCH(QPoint, bottomRight);
    QFETCH(QPoint, outside);

    ImageDisplayWidget widget;
    ShowFixed(widget);
    widget.SetImageTiles(imageWidth / 32, imageHeight / 32, 4, imageWidth, imageHeight);
    PaintQuadrants(widget.GetBackingImage());
    widget.ImageDirty();

    const QImage shot = widget.grabFramebuffer();
    const QPoint topRight(bottomRight.x(), topLeft.y());
    const QPoint bottomLeft(topLeft.x(), bottomRight.y());
    QVERIFY2(NearRgb(shot.pixel(topLeft), Qt::red), qPrintable(Describe(shot.pixel(topLeft))));
    QVERIFY2(NearRgb(shot.pixel(topRight), Qt::green), qPrintable(Describe(shot.pixel(topRight))));
    QVERIFY2(NearRgb(shot.pixel(bottomLeft), Qt::blue), qPrintable(Describe(shot.pixel(bottomLeft))));
    QVERIFY2(NearRgb(shot.pixel(bottomRight), Qt::yellow), qPrintable(Describe(shot.pixel(bottomRight))));
    QVERIFY2(NearRgb(shot.pixel(outside), Background(widget), 1), qPrintable(Describe(shot.pixel(outside))));
    const QPoint mirrored(399 - outside.x(), 299 - outside.y());
    QVERIFY2(NearRgb(shot.pixel(mirrored), Background(widget), 1), qPrintable(Describe(shot.pixel(mirrored))));
}

QTEST_MAIN(TstImageDisplayWidget)
#include "tst_imagedisplaywidget.moc"
