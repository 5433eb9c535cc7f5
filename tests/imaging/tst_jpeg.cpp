#include "TestKit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>

#include <jpeglib.h>

namespace {

// Writes a flat picture with the library directly, in any component layout:
// sample s of every pixel is 136 + 60 * s. Full-resolution colour when asked.
void WriteRaw(const QString &path, int w, int h, int components, J_COLOR_SPACE space, bool progressive,
              bool fullChroma = false)
{
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "wb");
    QVERIFY(file);
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = JDIMENSION(w);
    cinfo.image_height = JDIMENSION(h);
    cinfo.input_components = components;
    cinfo.in_color_space = space;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, space);
    jpeg_set_quality(&cinfo, 100, TRUE);
    if (fullChroma)
        cinfo.comp_info[0].h_samp_factor = cinfo.comp_info[0].v_samp_factor = 1;
    if (progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<JSAMPLE> row(size_t(w) * components);
    for (size_t i = 0; i < row.size(); ++i)
        row[i] = static_cast<JSAMPLE>((136 + 60 * (i % components)) % 256);
    JSAMPROW pointer = row.data();
    while (cinfo.next_scanline < cinfo.image_height)
        jpeg_write_scanlines(&cinfo, &pointer, 1);
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
}

// Streams a picture into a key-sized reduction.
StreamedReduction KeyReduction(Image &key)
{
    return StreamedReduction([&key](int, int) { return std::vector<ReductionTarget>{{&key, 16, 16}}; });
}

}   // namespace

class TstJpeg : public QObject {
    Q_OBJECT
private slots:
    void hugePicturesRefused_data();
    void hugePicturesRefused();
    void roundTrip();
    void components_data();
    void components();
    void truncatedFileIsDecoded();
    void unreadable_data();
    void unreadable();
    void writeFails_data();
    void writeFails();
    void streamedReduction();

private:
    QTemporaryDir dir;
};

void TstJpeg::hugePicturesRefused_data()
{
    QTest::addColumn<bool>("progressive");
    QTest::addColumn<int>("size");
    // The first two are over the decoded-size limit; the third is under it, but
    // its coefficient buffer (about 1.9 GB, full-resolution colour) is over the
    // library's working-memory cap. These come first: the peak of this process
    // is still small.
    QTest::newRow("baseline 65500") << false << 65500;
    QTest::newRow("progressive 65500") << true << 65500;
    QTest::newRow("progressive 18000") << true << 18000;
}

void TstJpeg::hugePicturesRefused()
{
    QFETCH(bool, progressive);
    QFETCH(int, size);
    const QString path = dir.filePath(QStringLiteral("claims-%1.jpg").arg(QTest::currentDataTag()));
    WriteRaw(path, 16, 16, 3, JCS_RGB, progressive, true);
    QVERIFY(Store(path, Claiming(Contents(path), size, size)));

    Image image = Gray(2, 1, {42, 0});
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    QVERIFY(!ReadJPEG(path, image));
    getrusage(RUSAGE_SELF, &after);
    QVERIFY(after.ru_maxrss - before.ru_maxrss < 64 * 1024);   // no large buffer was touched
    QCOMPARE(Reds(image), (std::vector<int>{42, 0}));
}

void TstJpeg::roundTrip()
{
    for (const QString &name :
         {QStringLiteral("odd.jpg"), QStringLiteral("Bilder \u00c6r\u00f8 \u65e5/Sm\u00f8r.jpg")}) {
        const QString path = dir.filePath(name);
        const Image original = Gradient(17, 9);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()) && WriteJPEG(path, original, 100));
        Image read(3, 3);
        QVERIFY(ReadJPEG(path, read));
        QVERIFY(read.width == original.width && read.height == 9 && MaxDifference(read, original) <= 10);
        QVERIFY(WriteJPEG(path, Gradient(5, 5), 100) && ReadJPEG(path, read) && read.width == 5);   // replaced
    }
}

void TstJpeg::components_data()
{
    QTest::addColumn<int>("components");
    QTest::addColumn<int>("space");
    QTest::addColumn<color3>("expected");
    QTest::newRow("rgb") << 3 << int(JCS_RGB) << color3{136, 196, 0};
    QTest::newRow("grayscale") << 1 << int(JCS_GRAYSCALE) << color3{136, 136, 136};
    QTest::newRow("two components") << 2 << int(JCS_UNKNOWN) << color3{136, 196, 0};
    QTest::newRow("cmyk") << 4 << int(JCS_CMYK) << color3{136, 196, 0};
}

void TstJpeg::components()
{
    QFETCH(int, components);
    QFETCH(int, space);
    QFETCH(color3, expected);
    const QString path = dir.filePath(QStringLiteral("%1.jpg").arg(QTest::currentDataTag()));
    WriteRaw(path, 32, 16, components, J_COLOR_SPACE(space), false);
    Image read;
    QVERIFY(ReadJPEG(path, read));
    QVERIFY(MaxDifference(read, Solid(32, 16, expected)) <= 2 && read.width == 32 && read.height == 16);
}

void TstJpeg::truncatedFileIsDecoded()
{
    const QString path = dir.filePath(QStringLiteral("cut.jpg"));
    const Image original = Gradient(256, 256);
    QVERIFY(WriteJPEG(path, original, 100));
    QVERIFY(QFile::resize(path, QFileInfo(path).size() / 2));

    // A file ReadJPEG cannot read in full is no better streamed.
    Image read, key;
    StreamedReduction reduction = KeyReduction(key);
    QVERIFY(!DecodeJPEG(path, reduction));
    QVERIFY(!ReadJPEG(path, read));
    QVERIFY(read.width == 256 && read.height == 256 && read.data);
    // The rows before the cut are the picture's own.
    Image top, originalTop;
    top.Extract(read, 0, 0, 256, 16);
    originalTop.Extract(original, 0, 0, 256, 16);
    QVERIFY(MaxDifference(top, originalTop) <= 10);
}

void TstJpeg::unreadable_data()
{
    QTest::addColumn<QByteArray>("content");   // null: no file
    QTest::newRow("not a JPEG") << QByteArray("These are not the pixels you are looking for.\n");
    QTest::newRow("empty file") << QByteArray("");
    QTest::newRow("missing") << QByteArray();
}

// Any unreadable file returns false and leaves the image as it was.
void TstJpeg::unreadable()
{
    QFETCH(QByteArray, content);
    const QString path = dir.filePath(QStringLiteral("unreadable %1 \u00e9.jpg").arg(QTest::currentDataTag()));
    QVERIFY(content.isNull() || Store(path, content));
    Image image = Gray(2, 1, {77, 0}), key;
    QVERIFY(!ReadJPEG(path, image));
    QCOMPARE(Reds(image), (std::vector<int>{77, 0}));
    StreamedReduction reduction = KeyReduction(key);
    QVERIFY(!DecodeJPEG(path, reduction));
}

void TstJpeg::writeFails_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::newRow("/dev/full, on the final flush") << "/dev/full" << 8 << 8;
    QTest::newRow("/dev/full, while compressing") << "/dev/full" << 512 << 512;
    // Root writes anywhere, but not below a regular file.
    QTest::newRow("below a regular file") << dir.filePath("plain-file/out.jpg") << 4 << 4;
    QTest::newRow("over the file size limit") << dir.filePath("partial.jpg") << 512 << 512;
    QTest::newRow("wider than the format allows") << dir.filePath("wide.jpg") << 70000 << 1;
    QTest::newRow("no pixels") << dir.filePath("empty-image.jpg") << 0 << 0;
}

// A failed write returns false, leaves no file behind and keeps the process.
void TstJpeg::writeFails()
{
    QFETCH(QString, path);
    QFETCH(int, w);
    QFETCH(int, h);
    QVERIFY(Store(dir.filePath("plain-file"), {}));
    const FileSizeLimit limit(64 * 1024);
    QVERIFY(!WriteJPEG(path, Noise(w, h, 1), 100));
    struct stat info;
    if (path == "/dev/full")
        QVERIFY(stat("/dev/full", &info) == 0 && S_ISCHR(info.st_mode));
    else
        QVERIFY(!QFileInfo::exists(path));
}

// Decoding straight into the reductions gives what reducing the decoded
// picture gives, one target or two, for noise and smooth pictures and for
// targets of random sizes (a few pixels, odd, larger than the picture), and
// for a grayscale progressive picture.
void TstJpeg::streamedReduction()
{
    std::mt19937 rng(13);
    std::uniform_int_distribution<int> side(1, 400), small(1, 4);
    const QString gray = dir.filePath("streamed-gray.jpg"), path = dir.filePath("streamed.jpg");
    WriteRaw(gray, 230, 180, 1, JCS_GRAYSCALE, true);
    for (int round = 0; round < 150; ++round) {
        const int w = round % 4 ? side(rng) : small(rng), h = round % 5 ? side(rng) : small(rng);
        QVERIFY(round == 0 || WriteJPEG(path, round % 2 ? Noise(w, h, rng()) : Gradient(w, h), 90));
        Image picture, first, second;
        QVERIFY(ReadJPEG(round == 0 ? gray : path, picture));
        const int fw = round % 2 ? side(rng) : qMax(1, picture.width / 3);
        const int fh = round % 2 ? side(rng) : qMax(1, picture.height / 3);
        const int sw = round % 3 ? 16 : side(rng), sh = round % 3 ? 16 : side(rng);
        const bool both = round % 7;
        StreamedReduction reduction([&](int, int) {
            std::vector<ReductionTarget> targets{{&first, fw, fh}};
            if (both)
                targets.push_back({&second, sw, sh});
            return targets;
        });
        QVERIFY(DecodeJPEG(round == 0 ? gray : path, reduction));
        Image expectedFirst = picture, expectedSecond = picture;
        expectedFirst.Resize(fw, fh, true);
        expectedSecond.Resize(sw, sh, true);
        const QString what = QString::asprintf("%dx%d to %dx%d and %dx%d", w, h, fw, fh, sw, sh);
        QVERIFY2(Same(first, expectedFirst) && (!both || Same(second, expectedSecond)), qPrintable(what));
    }
}

QTEST_GUILESS_MAIN(TstJpeg)
#include "tst_jpeg.moc"
