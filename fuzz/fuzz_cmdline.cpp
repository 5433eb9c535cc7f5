// The command-line parse, checked against a plain model of its rules:
// arguments are the input split at NUL bytes, the first standing for the
// program name.

#include "engine/ImagePosterParameters.h"

#include <QFile>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

// atoi's reading for values well inside the int range; nothing for the rest.
static std::optional<long long> SmallNumber(const std::string &text)
{
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (int digits = 0; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
        if (digits >= 9)
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back().push_back(char(data[i]));
    }
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);

    const QString untouched = QStringLiteral("untouched");
    int numThreads = -1;
    QString imageDBFilename = untouched;
    ParseCommandLine(int(args.size()), argv.data(), numThreads, imageDBFilename);

    std::optional<std::string> expectedPath;
    std::optional<std::string> threadText;
    for (size_t i = 1; i < args.size();) {
        const bool hasValue = i + 1 < args.size();
        if (hasValue && (args[i] == "-imagedb" || args[i] == "-nt")) {
            (args[i] == "-nt" ? threadText : expectedPath) = args[i + 1];
            i += 2;
        } else {
            ++i;
        }
    }

    const QString wantedPath = expectedPath ? QFile::decodeName(expectedPath->c_str()) : untouched;
    if (imageDBFilename != wantedPath)
        std::abort();
    if (!threadText) {
        if (numThreads != -1)
            std::abort();
    } else if (const auto n = SmallNumber(*threadText)) {
        if (numThreads != (*n < 1 ? 1 : *n))
            std::abort();
    } else if (numThreads < 1) {
        std::abort();
    }
    return 0;
}
