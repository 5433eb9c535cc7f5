#include "TestKit.h"
#include "imagedb/ImageDB.h"

#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

namespace {

Image *Picture(int width, int height)
{
    return new Image(Solid(width, height, {120, 120, 120}));
}

ImageDB::ImageInformation &Copied(ImageDB &db, ImageDB::SourceImageStrategy strategy, const QString &name,
                                  const Image &picture)
{
    db.strategy = strategy;
    db.Add(name);
    db.SetSourceImage(name, picture);
    return db.images[name];
}

}   // namespace

class TstSourceImages : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void reducedSizes_data();
    void reducedSizes();
    void sizeThresholds_data();
    void sizeThresholds();
    void cacheFileNames();
    void unwritableCacheLeavesPictureUsable();
    void convertStrategy_data();
    void convertStrategy();

private:
    std::unique_ptr<QTemporaryDir> home;
    QByteArray savedHome;
    int savedCounter = 0;
};

// Every case gets an empty home directory of its own and counts cache files from 0.
void TstSourceImages::init()
{
    home = std::make_unique<QTemporaryDir>();
    QVERIFY(home->isValid());
    savedHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home->path()));
    savedCounter = ImageDB::imageFilenameCounter;
    ImageDB::imageFilenameCounter = 0;
}

void TstSourceImages::cleanup()
{
    qputenv("HOME", savedHome);
    ImageDB::imageFilenameCounter = savedCounter;
}

void TstSourceImages::reducedSizes_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("copyWidth");
    QTest::addColumn<int>("copyHeight");
    QTest::newRow("400x300") << 400 << 300 << 200 << 150;
    QTest::newRow("50x50 enlarged") << 50 << 50 << 200 << 200;
    QTest::newRow("1000x1 keeps a row") << 1000 << 1 << 200 << 1;
    QTest::newRow("3x900 keeps a column") << 3 << 900 << 1 << 200;
}

void TstSourceImages::reducedSizes()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, copyWidth);
    QFETCH(int, copyHeight);
    const std::unique_ptr<Image> picture(Picture(width, height));
    ImageDB fastest;
    const ImageDB::ImageInformation &kept = Copied(fastest, ImageDB::StrategyFastest, "/p/a.jpg", *picture);
    QVERIFY(kept.sourceImage && kept.sourceImage->data);
    QCOMPARE(kept.sourceImage->width, copyWidth);
    QCOMPARE(kept.sourceImage->height, copyHeight);
    QVERIFY(kept.cachedFilename.isNull());

    ImageDB fast;
    const ImageDB::ImageInformation &cached = Copied(fast, ImageDB::StrategyFast, "/p/a.jpg", *picture);
    QVERIFY(!cached.sourceImage);
    Image file;
    QVERIFY(ReadJPEG(cached.cachedFilename, file));
    QCOMPARE(file.width, copyWidth);
    QCOMPARE(file.height, copyHeight);

    ImageDB none;
    const ImageDB::ImageInformation &neither = Copied(none, ImageDB::StrategyNone, "/p/a.jpg", *picture);
    none.SetSourceImage("/p/unknown.jpg", *picture);
    QVERIFY(!neither.sourceImage);
    QVERIFY(neither.cachedFilename.isNull());
    QCOMPARE(ImageDB::imageFilenameCounter.load(), 1);   // the one of the fast copy
}

// The picture's own file is 400x300 and its reduced copy 200x150, so the
// width of the result tells where it came from.
void TstSourceImages::sizeThresholds_data()
{
    QTest::addColumn<int>("strategy");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("cacheLost");
    QTest::addColumn<int>("width");
    QTest::newRow("fast 199") << int(ImageDB::StrategyFast) << 199 << false << 200;
    QTest::newRow("fast 200") << int(ImageDB::StrategyFast) << 200 << false << 400;
    QTest::newRow("fast 199, cache file lost") << int(ImageDB::StrategyFast) << 199 << true << 400;
    QTest::newRow("fastest 200") << int(ImageDB::StrategyFastest) << 200 << false << 400;
    QTest::newRow("none 199") << int(ImageDB::StrategyNone) << 199 << false << 400;
}

void TstSourceImages::sizeThresholds()
{
    QFETCH(int, strategy);
    QFETCH(int, size);
    QFETCH(bool, cacheLost);
    QFETCH(int, width);
    const QString own = home->filePath("own.jpg");
    const std::unique_ptr<Image> picture(Picture(400, 300));
    QVERIFY(WriteJPEG(own, *picture, 90));
    ImageDB db;
    const ImageDB::ImageInformation &record = Copied(db, ImageDB::SourceImageStrategy(strategy), own, *picture);
    if (cacheLost)
        QVERIFY(QFile::remove(record.cachedFilename));
    const std::unique_ptr<Image> result(db.GetSourceImage(own, size));
    QVERIFY(result && result->data);
    QCOMPARE(result->width, width);
    QCOMPARE(result->height, width * 3 / 4);

    QVERIFY(QFile::remove(own));
    QVERIFY(!std::unique_ptr<Image>(db.GetSourceImage(own, 400)));
}

// A second database file (or a lost one) counts from 0 again in the same
// cache folder; the copies of the first must survive.
void TstSourceImages::cacheFileNames()
{
    ImageDB db;
    const QString cache = QDir(home->path()).absoluteFilePath("Kestrelvanepatchery");
    QVERIFY(Store(cache + "/tile000000.jpg", "another database's copy"));
    QCOMPARE(db.GetNewCachedFilename(), cache + "/tile000001.jpg");
    QCOMPARE(Contents(cache + "/tile000000.jpg"), QByteArray("another database's copy"));
    ImageDB::imageFilenameCounter = 1234567;
    QCOMPARE(db.GetNewCachedFilename(), cache + "/tile1234567.jpg");

    const std::unique_ptr<Image> picture(Picture(40, 30));
    ImageDB::ImageInformation &record = Copied(db, ImageDB::StrategyFast, "/p/a.jpg", *picture);
    QCOMPARE(record.cachedFilename, cache + "/tile1234568.jpg");
    db.SetSourceImage("/p/a.jpg", *picture);   // a new copy gets a new file; the old one stays
    QCOMPARE(record.cachedFilename, cache + "/tile1234569.jpg");
    QVERIFY(QFile::exists(cache + "/tile1234568.jpg"));
}

void TstSourceImages::unwritableCacheLeavesPictureUsable()
{
    QVERIFY(Store(home->filePath("plain"), QByteArray()));
    qputenv("HOME", QFile::encodeName(home->filePath("plain")));
    ImageDB db;
    AddRecord(db, "/p/a.jpg", new Image(16, 16), Landscape);
    const std::unique_ptr<Image> picture(Picture(40, 30));
    QVERIFY(Copied(db, ImageDB::StrategyFast, "/p/a.jpg", *picture).cachedFilename.isNull());
    QCOMPARE(ImageDB::imageFilenameCounter.load(), 1);   // the number is used up all the same
    QCOMPARE(db.GetNumUsableImages(), 1);
}

void TstSourceImages::convertStrategy_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<bool>("keyKept");
    QTest::addColumn<bool>("cachedKept");
    QTest::addColumn<bool>("copyKept");
    QTest::newRow("fast to fastest") << int(ImageDB::StrategyFast) << int(ImageDB::StrategyFastest) << false << false
                                     << true;
    QTest::newRow("fastest to fast") << int(ImageDB::StrategyFastest) << int(ImageDB::StrategyFast) << false << true
                                     << false;
    QTest::newRow("none to fast") << int(ImageDB::StrategyNone) << int(ImageDB::StrategyFast) << true << true << true;
    QTest::newRow("fast to fast") << int(ImageDB::StrategyFast) << int(ImageDB::StrategyFast) << true << true << true;
}

// The record holds every kind of copy, so each drop shows.
void TstSourceImages::convertStrategy()
{
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(bool, keyKept);
    QFETCH(bool, cachedKept);
    QFETCH(bool, copyKept);
    ImageDB db;
    db.strategy = ImageDB::SourceImageStrategy(from);
    AddRecord(db, "/p/a.jpg", new Image(16, 16), Portrait);
    db.images["/p/a.jpg"].cachedFilename = "/c/tile000003.jpg";
    db.images["/p/a.jpg"].sourceImage = Picture(200, 150);
    db.ConvertStrategy(ImageDB::SourceImageStrategy(to));
    QCOMPARE(int(db.strategy), to);
    const ImageDB::ImageInformation &record = db.images["/p/a.jpg"];
    QCOMPARE(record.keyImage != nullptr, keyKept);
    QCOMPARE(!record.cachedFilename.isNull(), cachedKept);
    QCOMPARE(record.sourceImage != nullptr, copyKept);
    QCOMPARE(db.GetNumUsableImages(), 1);
}

QTEST_GUILESS_MAIN(TstSourceImages)
#include "tst_sourceimages.moc"
