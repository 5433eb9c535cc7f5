#include "engine/LikenessReport.h"

#include "engine/MosaicLikeness.h"
#include "engine/OutputFiles.h"
#include "engine/Vips.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr int Margin = 12;
constexpr int MapWidth = 640;   // about; at least a pixel per column
constexpr int BarHeight = 14;
constexpr int Gap = 6;
const char *const LegendFont = "DejaVu Sans 13";
const QRgb Background = qRgb(255, 255, 255);
const QRgb Ink = qRgb(40, 40, 40);
const QRgb Empty = qRgb(150, 150, 150);

// Difference for the file: rounded to a tenth, with a point whatever the locale.
QString Tenths(double value)
{
    return QString::number(value, 'f', 1);
}

// Degrees clockwise, as the picture is turned when drawn.
int Degrees(Rotation rotation)
{
    return rotation == Rotation::DrawTurnedRight ? 90 : rotation == Rotation::DrawTurnedLeft ? 270 : 0;
}

QString CsvField(const QString &text)
{
    if (!text.contains(',') && !text.contains('"') && !text.contains('\n') && !text.contains('\r'))
        return text;
    return '"' + QString(text).replace('"', "\"\"") + '"';
}

QByteArray TilesCsv(const MosaicLikeness &likeness)
{
    QString csv = "column,row,picture,rotation,difference\n";
    for (int row = 0; row < likeness.rows; ++row) {
        for (int column = 0; column < likeness.columns; ++column) {
            const MosaicLikeness::Tile &tile = likeness.At(column, row);
            csv += QString("%1,%2,").arg(column).arg(row);
            if (!tile.picture.isEmpty())
                csv += QString("%1,%2,%3")
                           .arg(CsvField(tile.picture))
                           .arg(Degrees(tile.rotation))
                           .arg(Tenths(tile.difference));
            else
                csv += ",,";
            csv += '\n';
        }
    }
    return csv.toUtf8();
}

QByteArray PicturesCsv(const MosaicLikeness &likeness)
{
    QString csv = "picture,uses\n";
    for (const MosaicLikeness::Picture &picture : likeness.pictures)
        csv += QString("%1,%2\n").arg(CsvField(picture.filename)).arg(picture.uses);
    return csv.toUtf8();
}

// Green for alike, through yellow, to red for the worst.
QRgb HeatColour(double fraction)
{
    static const int stops[3][3] = {{26, 152, 80}, {254, 224, 139}, {215, 48, 39}};
    const double t = std::clamp(fraction, 0.0, 1.0) * 2.0;
    const int i = std::min(int(t), 1);
    const double f = t - i;
    int c[3];
    for (int k = 0; k < 3; ++k)
        c[k] = int(std::lround(stops[i][k] + (stops[i + 1][k] - stops[i][k]) * f));
    return qRgb(c[0], c[1], c[2]);
}

// The legend's step: a round number that divides the range into at most five parts.
double LegendStep(double worst)
{
    for (double step : {1.0, 2.0, 5.0, 10.0, 20.0, 25.0, 50.0})
        if (worst <= step * 5)
            return step;
    return 100.0;
}

struct Text {
    std::vector<unsigned char> mask;
    int width = 0;
    int height = 0;
};

bool Render(const QString &line, Text &text, QString &error)
{
    std::string reason;
    if (Vips::RenderText(line.toStdString(), LegendFont, text.mask, text.width, text.height, reason))
        return true;
    error = QString("cannot draw the legend's text: %1").arg(QString::fromStdString(reason));
    return false;
}

// Lays the text's ink over the picture with its top left corner at x, y.
void Stamp(QImage &image, const Text &text, int x, int y)
{
    for (int row = 0; row < text.height; ++row) {
        if (y + row < 0 || y + row >= image.height())
            continue;
        for (int column = 0; column < text.width; ++column) {
            const int ink = text.mask[size_t(row) * text.width + column];
            if (ink == 0 || x + column < 0 || x + column >= image.width())
                continue;
            const QRgb under = image.pixel(x + column, y + row);
            const auto mix = [ink](int a, int b) { return a + (b - a) * ink / 255; };
            image.setPixel(
                x + column, y + row,
                qRgb(mix(qRed(under), qRed(Ink)), mix(qGreen(under), qGreen(Ink)), mix(qBlue(under), qBlue(Ink))));
        }
    }
}

void Fill(QImage &image, int x, int y, int width, int height, QRgb colour)
{
    for (int row = y; row < y + height; ++row)
        for (int column = x; column < x + width; ++column)
            image.setPixel(column, row, colour);
}

bool HeatMap(const MosaicLikeness &likeness, QByteArray &png, QString &error)
{
    double worst = 0.0;
    bool anyEmpty = false;
    for (const MosaicLikeness::Tile &tile : likeness.tiles) {
        if (tile.picture.isEmpty())
            anyEmpty = true;
        else
            worst = std::max(worst, tile.difference);
    }
    const double step = LegendStep(worst);
    const int steps = std::max(1, int(std::ceil(worst / step)));
    const double top = step * steps;

    // Cells keep the shape of the source's tiles.
    const int columns = std::max(likeness.columns, 1), rows = std::max(likeness.rows, 1);
    const int cellWidth = std::max(1, MapWidth / columns);
    const double tileAspect = likeness.sourceWidth > 0 && likeness.sourceHeight > 0
                                  ? (double(likeness.sourceHeight) / rows) / (double(likeness.sourceWidth) / columns)
                                  : 1.0;
    const int cellHeight = std::max(1, int(std::lround(cellWidth * tileAspect)));
    const int mapWidth = cellWidth * columns, mapHeight = cellHeight * rows;

    std::vector<Text> numbers(size_t(steps) + 1);
    Text caption;
    for (int i = 0; i <= steps; ++i)
        if (!Render(QString::number(step * i), numbers[size_t(i)], error))
            return false;
    const QString captionText =
        QString("difference between tile and picture, 0 to 255%1").arg(anyEmpty ? "; grey: no picture" : "");
    if (!Render(captionText, caption, error))
        return false;

    const int barTop = Margin + mapHeight + Margin;
    const int numbersTop = barTop + BarHeight + Gap;
    const int captionTop = numbersTop + numbers[0].height + Gap;
    QImage image(std::max(mapWidth, caption.width) + 2 * Margin, captionTop + caption.height + Margin,
                 QImage::Format_RGB32);
    if (image.isNull()) {
        error = "not enough memory for the likeness map";
        return false;
    }
    image.fill(Background);

    for (int row = 0; row < likeness.rows; ++row) {
        for (int column = 0; column < likeness.columns; ++column) {
            const MosaicLikeness::Tile &tile = likeness.At(column, row);
            const QRgb colour = tile.picture.isEmpty() ? Empty : HeatColour(tile.difference / top);
            Fill(image, Margin + column * cellWidth, Margin + row * cellHeight, cellWidth, cellHeight, colour);
        }
    }
    for (int x = 0; x < mapWidth; ++x)
        Fill(image, Margin + x, barTop, 1, BarHeight, HeatColour(double(x) / std::max(mapWidth - 1, 1)));
    for (int i = 0; i <= steps; ++i) {
        const int x = Margin + int(std::lround(double(i) / steps * (mapWidth - 1)));
        Fill(image, x, barTop + BarHeight, 1, Gap / 2, Ink);
        const Text &number = numbers[size_t(i)];
        const int left = std::clamp(x - number.width / 2, Margin, Margin + mapWidth - number.width);
        Stamp(image, number, left, numbersTop);
    }
    Stamp(image, caption, Margin, captionTop);

    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG")) {
        error = "cannot encode the likeness map";
        return false;
    }
    return true;
}

}   // namespace

bool WriteLikenessReport(const QString &dir, const MosaicLikeness &likeness, QString &error)
{
    QByteArray png;
    const QDir folder(dir);
    return MakeFolder(dir, error) && WriteFile(folder.filePath("tiles.csv"), TilesCsv(likeness), error)
           && WriteFile(folder.filePath("pictures.csv"), PicturesCsv(likeness), error) && HeatMap(likeness, png, error)
           && WriteFile(folder.filePath("likeness.png"), png, error);
}

QString LikenessSummary(const MosaicLikeness &likeness)
{
    double sum = 0.0, worst = 0.0;
    int filled = 0, worstColumn = 0, worstRow = 0;
    for (int row = 0; row < likeness.rows; ++row) {
        for (int column = 0; column < likeness.columns; ++column) {
            const MosaicLikeness::Tile &tile = likeness.At(column, row);
            if (tile.picture.isEmpty())
                continue;
            sum += tile.difference;
            ++filled;
            if (tile.difference > worst || filled == 1) {
                worst = tile.difference;
                worstColumn = column;
                worstRow = row;
            }
        }
    }
    const int unused = int(std::count_if(likeness.pictures.cbegin(), likeness.pictures.cend(),
                                         [](const MosaicLikeness::Picture &p) { return p.uses == 0; }));
    QString line = QString("Likeness: mean difference %1, worst %2 (column %3, row %4); %5 of %6 pictures never used")
                       .arg(Tenths(filled > 0 ? sum / filled : 0.0), Tenths(worst))
                       .arg(worstColumn)
                       .arg(worstRow)
                       .arg(unused)
                       .arg(likeness.pictures.size());
    if (!likeness.pictures.isEmpty() && likeness.pictures.first().uses > 0)
        line += QString("; most used: %1, %2 times")
                    .arg(likeness.pictures.first().filename)
                    .arg(likeness.pictures.first().uses);
    return line + '.';
}
