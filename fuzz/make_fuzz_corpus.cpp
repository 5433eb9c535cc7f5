// Writes the seed corpora of the fuzz targets into <dir>/jpeg, <dir>/imagedb
// and <dir>/cmdline: small valid inputs of every kind the readers accept, and
// a few cut-off ones, so fuzzing starts from the interesting paths.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

static bool WriteFile(const fs::path &path, const Bytes &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

struct JpegKind {
    const char *name;
    int width, height;
    int components;
    J_COLOR_SPACE inSpace;
    J_COLOR_SPACE fileSpace;   // JCS_UNKNOWN: the library's default for inSpace
    bool progressive;
    bool arithmetic;
    bool optimize;
    int restartRows;
    int quality;
    bool fullChroma;   // 4:4:4 instead of the default 4:2:0
};

// A gradient with some texture so that every coefficient band carries data.
static unsigned char Sample(int x, int y, int c, int w, int h)
{
    const int base = (c % 3 == 0)   ? x * 255 / std::max(1, w - 1)
                     : (c % 3 == 1) ? y * 255 / std::max(1, h - 1)
                                    : ((x ^ y) * 16) & 255;
    return static_cast<unsigned char>(base + c * 37);
}

static Bytes EncodeJpeg(const JpegKind &k)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);

    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);

    cinfo.image_width = JDIMENSION(k.width);
    cinfo.image_height = JDIMENSION(k.height);
    cinfo.input_components = k.components;
    cinfo.in_color_space = k.inSpace;
    jpeg_set_defaults(&cinfo);
    if (k.fileSpace != JCS_UNKNOWN)
        jpeg_set_colorspace(&cinfo, k.fileSpace);
    jpeg_set_quality(&cinfo, k.quality, TRUE);
    if (k.progressive)
        jpeg_simple_progression(&cinfo);
    cinfo.arith_code = k.arithmetic ? TRUE : FALSE;
    cinfo.optimize_coding = k.optimize ? TRUE : FALSE;
    cinfo.restart_in_rows = k.restartRows;
    if (k.fullChroma) {
        for (int c = 0; c < cinfo.num_components; ++c) {
            cinfo.comp_info[c].h_samp_factor = 1;
            cinfo.comp_info[c].v_samp_factor = 1;
        }
    }

    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(size_t(k.width) * size_t(k.components));
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = int(cinfo.next_scanline);
        for (int x = 0; x < k.width; ++x)
            for (int c = 0; c < k.components; ++c)
                row[size_t(x) * size_t(k.components) + size_t(c)] = Sample(x, y, c, k.width, k.height);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);

    Bytes bytes(buffer, buffer + size);
    free(buffer);
    return bytes;
}

// An EXIF block that holds only the orientation tag, in either byte order.
static Bytes ExifOrientation(bool bigEndian, int orientation)
{
    Bytes b = {'E', 'x', 'i', 'f', 0, 0};
    const auto put = [&](uint32_t value, int size) {
        for (int i = 0; i < size; ++i)
            b.push_back(static_cast<unsigned char>(value >> (8 * (bigEndian ? size - 1 - i : i))));
    };
    b.push_back(bigEndian ? 'M' : 'I');
    b.push_back(bigEndian ? 'M' : 'I');
    put(42, 2);
    put(8, 4);   // the first directory
    put(1, 2);   // one entry: orientation, one SHORT
    put(0x0112, 2);
    put(3, 2);
    put(1, 4);
    put(uint32_t(orientation), 2);
    put(0, 2);
    put(0, 4);   // no next directory
    return b;
}

// The picture with an APP1 segment right after its start marker, where
// cameras put their EXIF block.
static Bytes WithApp1(const Bytes &jpeg, const Bytes &segment)
{
    Bytes tagged(jpeg.begin(), jpeg.begin() + 2);
    const size_t length = segment.size() + 2;
    tagged.insert(tagged.end(),
                  {0xFF, 0xE1, static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length & 0xFF)});
    tagged.insert(tagged.end(), segment.begin(), segment.end());
    tagged.insert(tagged.end(), jpeg.begin() + 2, jpeg.end());
    return tagged;
}

static bool MakeJpegCorpus(const fs::path &dir)
{
    const JpegKind kinds[] = {
        {"baseline-rgb", 40, 30, 3, JCS_RGB, JCS_UNKNOWN, false, false, false, 0, 85, false},
        {"baseline-444", 17, 9, 3, JCS_RGB, JCS_UNKNOWN, false, false, false, 0, 100, true},
        {"baseline-1x1", 1, 1, 3, JCS_RGB, JCS_UNKNOWN, false, false, false, 0, 75, false},
        {"portrait", 12, 33, 3, JCS_RGB, JCS_UNKNOWN, false, false, true, 0, 60, false},
        {"restart-markers", 48, 32, 3, JCS_RGB, JCS_UNKNOWN, false, false, false, 1, 80, false},
        {"progressive", 40, 30, 3, JCS_RGB, JCS_UNKNOWN, true, false, false, 0, 85, false},
        {"arithmetic", 24, 24, 3, JCS_RGB, JCS_UNKNOWN, false, true, false, 0, 85, false},
        {"progressive-arithmetic", 24, 16, 3, JCS_RGB, JCS_UNKNOWN, true, true, false, 0, 70, false},
        {"grayscale", 32, 20, 1, JCS_GRAYSCALE, JCS_UNKNOWN, false, false, false, 0, 85, false},
        {"grayscale-progressive", 20, 32, 1, JCS_GRAYSCALE, JCS_UNKNOWN, true, false, false, 0, 85, false},
        {"rgb-stored-as-rgb", 16, 16, 3, JCS_RGB, JCS_RGB, false, false, false, 0, 90, false},
        {"cmyk", 24, 18, 4, JCS_CMYK, JCS_UNKNOWN, false, false, false, 0, 85, false},
        {"ycck", 24, 18, 4, JCS_CMYK, JCS_YCCK, false, false, false, 0, 85, false},
        {"two-components", 16, 8, 2, JCS_UNKNOWN, JCS_UNKNOWN, false, false, false, 0, 85, false},
    };
    for (const JpegKind &k : kinds) {
        const Bytes bytes = EncodeJpeg(k);
        if (bytes.empty() || !WriteFile(dir / (std::string(k.name) + ".jpg"), bytes))
            return false;
        // A file cut off in the middle of its entropy-coded data, the way a
        // full memory card leaves it.
        if (k.components == 3 && !k.arithmetic) {
            const Bytes cut(bytes.begin(), bytes.begin() + std::ptrdiff_t(bytes.size() * 2 / 3));
            if (!WriteFile(dir / (std::string(k.name) + "-truncated.jpg"), cut))
                return false;
        }
    }
    // Header only: markers up to the start of scan and nothing after it.
    const Bytes whole = EncodeJpeg(kinds[0]);
    for (size_t i = 0; i + 1 < whole.size(); ++i) {
        if (whole[i] == 0xFF && whole[i + 1] == 0xDA) {
            if (!WriteFile(dir / "header-only.jpg", Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(i + 2))))
                return false;
            break;
        }
    }
    // Orientation tags: turned, flipped in the other byte order, and a block
    // cut off inside its only entry.
    const Bytes portrait = EncodeJpeg(kinds[3]);
    const Bytes turned = ExifOrientation(false, 6);
    if (!WriteFile(dir / "exif-turned.jpg", WithApp1(whole, turned))
        || !WriteFile(dir / "exif-flipped-big-endian.jpg", WithApp1(portrait, ExifOrientation(true, 7)))
        || !WriteFile(dir / "exif-cut.jpg", WithApp1(whole, Bytes(turned.begin(), turned.begin() + 20))))
        return false;
    return WriteFile(dir / "not-a-jpeg.jpg", Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0});
}

// The database file: little-endian 32-bit integers, NUL-ended Latin-1 strings.
class DbWriter {
public:
    void Int(int32_t v)
    {
        const uint32_t u = uint32_t(v);
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<unsigned char>(u >> (8 * i)));
    }
    void Str(const std::string &s)
    {
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.push_back(0);
    }
    void Byte(unsigned char b) { bytes.push_back(b); }
    void Pixels(int w, int h, int seed)
    {
        for (int i = 0; i < w * h * 3; ++i)
            bytes.push_back(static_cast<unsigned char>(i * 7 + seed));
    }
    Bytes bytes;
};

struct DbRecord {
    std::string filename;
    bool portrait;
    std::string cached;   // StrategyFast
    int copyW, copyH;     // StrategyFastest
};

static Bytes MakeDatabase(int strategy, int counter, const std::vector<std::string> &dirs,
                          const std::vector<std::string> &excluded, const std::vector<DbRecord> &records)
{
    DbWriter w;
    w.Str("Kestrelvanepatchery");
    w.Int(0);
    w.Int(2);
    w.Int(0);
    w.Int(strategy);
    w.Int(counter);
    w.Int(int32_t(dirs.size()));
    w.Int(int32_t(excluded.size()));
    w.Int(int32_t(records.size()));
    for (const std::string &d : dirs)
        w.Str(d);
    for (const std::string &d : excluded)
        w.Str(d);
    int seed = 0;
    for (const DbRecord &r : records) {
        w.Str(r.filename);
        w.Pixels(16, 16, seed++);
        w.Byte(r.portrait ? 1 : 0);
        if (strategy == 1)
            w.Str(r.cached);
        if (strategy == 2) {
            w.Int(r.copyW);
            w.Int(r.copyH);
            w.Pixels(r.copyW, r.copyH, seed++);
        }
    }
    return w.bytes;
}

static bool MakeDatabaseCorpus(const fs::path &dir)
{
    const std::vector<std::string> dirs = {"/home/u/Pictures", "/media/card"};
    const std::vector<std::string> excluded = {"/home/u/Pictures/private"};
    const std::vector<DbRecord> records = {
        {"/home/u/Pictures/a.jpg", false, "/home/u/Kestrelvanepatchery/tile000001.jpg", 4, 3},
        {"/home/u/Pictures/b.JPEG", true, "", 2, 5},
        {"/media/card/DCIM/caf\xe9.jpg", false, "/home/u/Kestrelvanepatchery/tile000002.jpg", 0, 0},
    };
    struct Seed {
        const char *name;
        Bytes bytes;
    };
    std::vector<Seed> seeds = {
        {"empty-header-only", MakeDatabase(1, 0, {}, {}, {})},
        {"none", MakeDatabase(0, 3, dirs, excluded, records)},
        {"fast", MakeDatabase(1, 3, dirs, excluded, records)},
        {"fastest", MakeDatabase(2, 3, dirs, excluded, records)},
        {"duplicate-records", MakeDatabase(0, 0, dirs, {}, {records[0], records[0]})},
        {"unknown-strategy", MakeDatabase(7, 1, dirs, {}, {records[1]})},
    };
    Bytes odd = MakeDatabase(0, 0, {"/p"}, {}, {{"/p/a.jpg", false, "", 0, 0}});
    odd[19] = 'X';   // the 20th magic byte is not examined
    odd[28] = 7;     // nor the third version number
    seeds.push_back({"lenient-header", odd});
    const Bytes fast = MakeDatabase(1, 3, dirs, excluded, records);
    seeds.push_back({"fast-truncated", Bytes(fast.begin(), fast.begin() + std::ptrdiff_t(fast.size() / 2))});

    for (const Seed &s : seeds)
        if (!WriteFile(dir / (std::string(s.name) + ".db"), s.bytes))
            return false;
    return true;
}

// A command line is its arguments separated by NUL bytes, program name first.
static bool MakeCommandLineCorpus(const fs::path &dir)
{
    const std::vector<std::vector<std::string>> lines = {
        {"mosaic"},
        {"mosaic", "-nt", "4"},
        {"mosaic", "-imagedb", "/tmp/db"},
        {"mosaic", "-imagedb", "/a", "-nt", "2", "-imagedb", "/b", "-nt", "8"},
        {"mosaic", "-nt"},
        {"mosaic", "-imagedb"},
        {"mosaic", "-imagedb", "-nt", "3"},
        {"mosaic", "-nt", "-3", "stray", "-NT", "4x"},
        {"mosaic", "-nt", "99999999999999999999"},
        {"mosaic", "-imagedb", "/tmp/bilder-\xc3\xa9/db", "-nt", " +7"},
    };
    int n = 0;
    for (const auto &line : lines) {
        Bytes bytes;
        for (size_t i = 0; i < line.size(); ++i) {
            if (i > 0)
                bytes.push_back(0);
            bytes.insert(bytes.end(), line[i].begin(), line[i].end());
        }
        if (!WriteFile(dir / ("line" + std::to_string(n++)), bytes))
            return false;
    }
    return true;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const fs::path root(argv[1]);
    std::error_code ec;
    for (const char *sub : {"jpeg", "imagedb", "cmdline"}) {
        fs::create_directories(root / sub, ec);
        if (ec) {
            std::fprintf(stderr, "cannot create %s\n", (root / sub).c_str());
            return 1;
        }
    }
    if (!MakeJpegCorpus(root / "jpeg") || !MakeDatabaseCorpus(root / "imagedb")
        || !MakeCommandLineCorpus(root / "cmdline")) {
        std::fprintf(stderr, "cannot write the corpus under %s\n", root.c_str());
        return 1;
    }
    return 0;
}
