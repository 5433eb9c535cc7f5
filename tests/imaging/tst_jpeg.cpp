#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <jpeglib.h>

namespace {

// Smooth ramps: compression changes them by a few levels only.
Image Gradient(int w, int h)
{
    Image image(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char *p = image.data + (size_t(y) * w + x) * 3;
            p[0] = static_cast<unsigned char>(40 + 150 * x / w);
            p[1] = static_cast<unsigned char>(40 + 150 * y / h);
            p[2] = static_cast<unsigned char>(100 + 50 * (x + y) / (w + h));
        }
    return image;
}

Image Noise(int w, int h)
{
    Image image(w, h);
    unsigned state = 12345;
    for (size_t i = 0; i < image.ByteCount(); ++i) {
        state = state * 1103515245u + 12345u;
        image.data[i] = static_cast<unsigned char>(state >> 16);
    }
    return image;
}

int MaxDifference(const Image &a, const Image &b)
{
    int worst = 0;
    for (size_t i = 0; i < a.ByteCount(); ++i)
        worst = std::max(worst, std::abs(a.data[i] - b.data[i]));
    return worst;
}

// Writes a picture with the library directly, in any component layout.
void WriteRaw(const QString &path, int w, int h, int components, J_COLOR_SPACE space, bool progressive,
              const std::function<int(int, int, int)> &sample, bool fullChroma = false)
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
    while (cinfo.next_scanline < cinfo.image_height) {
        for (int x = 0; x < w; ++x)
            for (int s = 0; s < components; ++s)
                row[size_t(x) * components + s] = static_cast<JSAMPLE>(sample(x, int(cinfo.next_scanline), s));
        JSAMPROW pointer = row.data();
        jpeg_write_scanlines(&cinfo, &pointer, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
}

// Rewrites the frame header so that it claims another size; the scan data
// stay those of the small picture.
bool ClaimSize(const QString &path, int w, int h)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = file.readAll();
    for (qsizetype i = 0; i + 9 < bytes.size(); ++i) {
        const auto marker = static_cast<unsigned char>(bytes[i + 1]);
        if (static_cast<unsigned char>(bytes[i]) == 0xff && (marker == 0xc0 || marker == 0xc2)) {
            bytes[i + 5] = char(h >> 8);
            bytes[i + 6] = char(h & 0xff);
            bytes[i + 7] = char(w >> 8);
            bytes[i + 8] = char(w & 0xff);
            file.seek(0);
            return file.write(bytes) == bytes.size();
        }
    }
    return false;
}

long PeakResidentKilobytes()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// What a call prints on standard output.
QByteArray StandardOutputOf(const std::function<void()> &call)
{
    QTemporaryFile capture;
    if (!capture.open())
        return "no capture file";
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(capture.handle(), STDOUT_FILENO);
    call();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    capture.seek(0);
    return capture.readAll();
}

} // namespace

class TstJpeg : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void hugePicturesRefused_data();
    void hugePicturesRefused();
    void roundTrip_data();
    void roundTrip();
    void nonAsciiFolder();
    void components_data();
    void components();
    void truncatedFileIsDecoded();
    void notAJpeg();
    void missingFile();
    void unopenableOutput();
    void writeToFullDevice_data();
    void writeToFullDevice();
    void partialFileRemoved();
    void unwritableImages();

private:
    QTemporaryDir dir;
};

void TstJpeg::initTestCase()
{
    QVERIFY(dir.isValid());
}

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
    WriteRaw(path, 16, 16, 3, JCS_RGB, progressive, [](int x, int y, int s) { return x * 8 + y + s; }, true);
    QVERIFY(ClaimSize(path, size, size));

    Image image(2, 2);
    image.data[0] = 42;
    const long before = PeakResidentKilobytes();
    QVERIFY(!ReadJPEG(path, image));
    QVERIFY2(PeakResidentKilobytes() - before < 64 * 1024, "no large buffer was touched");
    QCOMPARE(image.width, 2);
    QCOMPARE(int(image.data[0]), 42);
}

void TstJpeg::roundTrip_data()
{
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::newRow("1x1") << 1 << 1;
    QTest::newRow("odd") << 17 << 9;
    QTest::newRow("tall") << 40 << 130;
}

void TstJpeg::roundTrip()
{
    QFETCH(int, w);
    QFETCH(int, h);
    const QString path = dir.filePath(QStringLiteral("round-%1x%2.jpg").arg(w).arg(h));
    const Image original = Gradient(w, h);
    QVERIFY(WriteJPEG(path, original, 100));

    Image read(3, 3);
    QVERIFY(ReadJPEG(path, read));
    QCOMPARE(read.width, w);
    QCOMPARE(read.height, h);
    QVERIFY(read.data);
    QVERIFY2(MaxDifference(read, original) <= 10, qPrintable(QString::number(MaxDifference(read, original))));

    // An existing file is replaced.
    QVERIFY(WriteJPEG(path, Gradient(5, 5), 100));
    QVERIFY(ReadJPEG(path, read));
    QCOMPARE(read.width, 5);
}

void TstJpeg::nonAsciiFolder()
{
    const QString folder = dir.filePath(QStringLiteral("Bilder Ærø \u65e5\u672c \u00fc"));
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/Sm\u00f8rrebr\u00f8d.jpg");
    const Image original = Gradient(20, 10);
    QVERIFY(WriteJPEG(path, original, 90));
    QVERIFY(QFileInfo::exists(path));
    Image read;
    QVERIFY(ReadJPEG(path, read));
    QCOMPARE(read.width, 20);
    QVERIFY2(MaxDifference(read, original) <= 16, qPrintable(QString::number(MaxDifference(read, original))));
}

void TstJpeg::components_data()
{
    QTest::addColumn<int>("components");
    QTest::addColumn<int>("space");
    QTest::addColumn<bool>("progressive");
    QTest::addColumn<QList<int>>("expected");  // red, green, blue at the picture's centre
    // Written samples at the centre (16, 8): 136, 196, 0, 60.
    QTest::newRow("rgb") << 3 << int(JCS_RGB) << false << QList<int>{136, 196, 0};
    QTest::newRow("rgb progressive") << 3 << int(JCS_RGB) << true << QList<int>{136, 196, 0};
    QTest::newRow("grayscale") << 1 << int(JCS_GRAYSCALE) << false << QList<int>{136, 136, 136};
    QTest::newRow("grayscale progressive") << 1 << int(JCS_GRAYSCALE) << true << QList<int>{136, 136, 136};
    QTest::newRow("two components") << 2 << int(JCS_UNKNOWN) << false << QList<int>{136, 196, 0};
    QTest::newRow("cmyk") << 4 << int(JCS_CMYK) << false << QList<int>{136, 196, 0};
    QTest::newRow("cmyk progressive") << 4 << int(JCS_CMYK) << true << QList<int>{136, 196, 0};
}

void TstJpeg::components()
{
    QFETCH(int, components);
    QFETCH(int, space);
    QFETCH(bool, progressive);
    QFETCH(QList<int>, expected);
    const QString path = dir.filePath(QStringLiteral("%1.jpg").arg(QTest::currentDataTag()));
    // Flat colour, so the only loss is rounding.
    WriteRaw(path, 32, 16, components, J_COLOR_SPACE(space), progressive,
             [](int, int, int s) { return (136 + 60 * s) % 256; });

    Image read;
    QVERIFY(ReadJPEG(path, read));
    QCOMPARE(read.width, 32);
    QCOMPARE(read.height, 16);
    for (int y : {0, 8, 15}) {
        const unsigned char *p = read.data + (size_t(y) * 32 + 16) * 3;
        for (int c = 0; c < 3; ++c)
            QVERIFY2(std::abs(p[c] - expected[c]) <= 2, qPrintable(QStringLiteral("channel %1 is %2").arg(c).arg(p[c])));
        if (components == 1)
            QVERIFY(p[0] == p[1] && p[1] == p[2]);
        if (components == 2)
            QCOMPARE(int(p[2]), 0);
    }
}

void TstJpeg::truncatedFileIsDecoded()
{
    const QString path = dir.filePath(QStringLiteral("cut.jpg"));
    const Image original = Gradient(256, 256);
    QVERIFY(WriteJPEG(path, original, 100));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray whole = file.readAll();
    file.close();
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(whole.left(whole.size() / 2));
    file.close();

    Image read;
    QVERIFY(!ReadJPEG(path, read));
    QCOMPARE(read.width, 256);
    QCOMPARE(read.height, 256);
    QVERIFY(read.data);
    // The rows before the cut are the picture's own.
    Image top, originalTop;
    top.Extract(read, 0, 0, 256, 16);
    originalTop.Extract(original, 0, 0, 256, 16);
    QVERIFY2(MaxDifference(top, originalTop) <= 10, qPrintable(QString::number(MaxDifference(top, originalTop))));
}

void TstJpeg::notAJpeg()
{
    const QString path = dir.filePath(QStringLiteral("notes.jpg"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("These are not the pixels you are looking for.\n");
    file.close();

    Image image(2, 2);
    image.data[0] = 77;
    QCOMPARE(StandardOutputOf([&] { QVERIFY(!ReadJPEG(path, image)); }), QByteArray());
    QCOMPARE(image.width, 2);
    QCOMPARE(int(image.data[0]), 77);

    QFile empty(dir.filePath(QStringLiteral("empty.jpg")));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    QVERIFY(!ReadJPEG(empty.fileName(), image));
}

void TstJpeg::missingFile()
{
    const QString path = dir.filePath(QStringLiteral("missing \u00e9.jpg"));
    Image image(2, 1);
    bool result = true;
    const QByteArray printed = StandardOutputOf([&] { result = ReadJPEG(path, image); });
    QVERIFY(!result);
    QCOMPARE(printed, "Error opening jpeg file " + QFile::encodeName(path) + "\n!");
    QCOMPARE(image.width, 2);
    QVERIFY(image.data);
}

void TstJpeg::unopenableOutput()
{
    // Root writes anywhere, but not below a regular file.
    const QString blocker = dir.filePath(QStringLiteral("plain-file"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QString path = blocker + QStringLiteral("/out.jpg");
    bool result = true;
    const QByteArray printed = StandardOutputOf([&] { result = WriteJPEG(path, Gradient(4, 4), 100); });
    QVERIFY(!result);
    QCOMPARE(printed, "Error opening output jpeg file " + QFile::encodeName(path) + "\n!");
}

void TstJpeg::writeToFullDevice_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("fails on the final flush") << 8;
    QTest::newRow("fails while compressing") << 512;
}

void TstJpeg::writeToFullDevice()
{
    QFETCH(int, size);
    struct stat before;
    QCOMPARE(stat("/dev/full", &before), 0);
    QVERIFY(S_ISCHR(before.st_mode));

    QVERIFY(!WriteJPEG(QStringLiteral("/dev/full"), Noise(size, size), 100));

    // The device is no partial file: it stays.
    struct stat after;
    QCOMPARE(stat("/dev/full", &after), 0);
    QVERIFY(S_ISCHR(after.st_mode));
    QCOMPARE(after.st_rdev, before.st_rdev);
}

void TstJpeg::partialFileRemoved()
{
    // A file size limit makes writes to a regular file fail part way.
    const QString path = dir.filePath(QStringLiteral("partial.jpg"));
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool written = WriteJPEG(path, Noise(512, 512), 100);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    QVERIFY(!written);
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(WriteJPEG(path, Noise(512, 512), 100));
    QVERIFY(QFileInfo(path).size() > 64 * 1024);
}

void TstJpeg::unwritableImages()
{
    // Larger than the format allows: the library refuses, the file goes.
    const QString wide = dir.filePath(QStringLiteral("wide.jpg"));
    QVERIFY(!WriteJPEG(wide, Image(70000, 1), 100));
    QVERIFY(!QFileInfo::exists(wide));

    const QString empty = dir.filePath(QStringLiteral("empty-image.jpg"));
    QVERIFY(!WriteJPEG(empty, Image(), 100));
    QVERIFY(!QFileInfo::exists(empty));
}

QTEST_GUILESS_MAIN(TstJpeg)
#include "tst_jpeg.moc"
