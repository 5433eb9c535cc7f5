#include "WizardKit.h"
#include "wizard/ImageDisplayWidget.h"

#include <QPainter>

class TstImageDisplayWidget : public QObject {
    Q_OBJECT
private slots:
    void pictureDrawnCentredAndUpright_data();
    void pictureDrawnCentredAndUpright();
};

void TstImageDisplayWidget::pictureDrawnCentredAndUpright_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QPoint>("topLeft");
    QTest::addColumn<QPoint>("bottomRight");
    QTest::addColumn<QPoint>("outside");

    // Landscape spans the width, leaving about 14 rows above and below;
    // portrait spans the height, leaving about 98 columns on either side.
    QTest::newRow("landscape") << QSize(960, 640) << QPoint(20, 25) << QPoint(380, 275) << QPoint(200, 4);
    QTest::newRow("portrait") << QSize(640, 960) << QPoint(110, 10) << QPoint(290, 290) << QPoint(40, 150);
}

void TstImageDisplayWidget::pictureDrawnCentredAndUpright()
{
    QFETCH(QSize, picture);
    QFETCH(QPoint, topLeft);
    QFETCH(QPoint, bottomRight);
    QFETCH(QPoint, outside);

    ImageDisplayWidget widget;
    widget.setFixedSize(400, 300);
    QVERIFY(Shown(&widget));
    widget.SetImageTiles(picture.width() / 32, picture.height() / 32, 4, picture.width(), picture.height());
    // Quadrants: red top left, green top right, blue bottom left, yellow bottom right.
    QImage *image = widget.GetBackingImage();
    const int w = image->width(), h = image->height();
    {
        QPainter painter(image);
        painter.fillRect(0, 0, w, h, Qt::yellow);
        painter.fillRect(0, 0, w / 2, h / 2, Qt::red);
        painter.fillRect(w / 2, 0, w - w / 2, h / 2, Qt::green);
        painter.fillRect(0, h / 2, w / 2, h - h / 2, Qt::blue);
    }
    widget.ImageDirty();

    const QImage shot = widget.grabFramebuffer();
    const QColor background = widget.palette().brush(QPalette::Current, QPalette::Window).color();
    const std::pair<QPoint, QColor> expected[] = {
        {topLeft, Qt::red},        {QPoint(bottomRight.x(), topLeft.y()), Qt::green},
        {bottomRight, Qt::yellow}, {QPoint(topLeft.x(), bottomRight.y()), Qt::blue},
        {outside, background},     {QPoint(399 - outside.x(), 299 - outside.y()), background}};
    for (const auto &[point, colour] : expected) {
        const QColor got = shot.pixelColor(point);
        QVERIFY2(std::abs(got.red() - colour.red()) <= 6 && std::abs(got.green() - colour.green()) <= 6
                     && std::abs(got.blue() - colour.blue()) <= 6,
                 qPrintable(QString("(%1, %2): %3").arg(point.x()).arg(point.y()).arg(got.name())));
    }
}

QTEST_MAIN(TstImageDisplayWidget)
#include "tst_imagedisplaywidget.moc"
