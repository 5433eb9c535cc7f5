#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

// A file that lives in memory only, reachable by a path, so that readers that
// insist on opening a file by name can be fed from a buffer without touching
// the disk. The path opens the file afresh at offset 0 each time.
class MemoryFile {
public:
    MemoryFile() : fd(memfd_create("kvp-fuzz", 0)) {}
    ~MemoryFile()
    {
        if (fd >= 0)
            close(fd);
    }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;

    bool Set(const uint8_t *data, size_t size)
    {
        if (fd < 0 || ftruncate(fd, 0) != 0)
            return false;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd, data + done, size - done, off_t(done));
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    }

    QString Path() const { return QStringLiteral("/proc/self/fd/%1").arg(fd); }

private:
    int fd;
};
