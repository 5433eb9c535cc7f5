#pragma once

#include <QByteArray>
#include <QFile>

// The process's peak resident memory, and a way to start measuring it anew,
// so a benchmark can report the peak of each stage it runs (Linux only: the
// kernel's high-water mark is reset by writing 5 to clear_refs).
inline void ResetPeakMemory()
{
    QFile refs("/proc/self/clear_refs");
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

// A memory figure of /proc/self/status, such as "VmHWM:", in megabytes.
inline double StatusMB(const QByteArray &field)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

inline double PeakMemoryMB()
{
    return StatusMB("VmHWM:");
}

inline double ResidentMB()
{
    return StatusMB("VmRSS:");
}
