#pragma once

#include <QByteArray>
#include <QString>
#include <cstdio>

// A file written whole or not at all. A regular file, or a name that does not
// exist yet, is written as a new file beside it, which replaces it only after
// every write, the flush, the fsync and the close succeeded; a failed or
// abandoned write leaves the old file as it was and no new file behind. The
// replaced file's permissions are kept, and a symbolic link stays a link to
// the replaced file. A device or other special file (/dev/null, /dev/full) is
// written in place: renaming over it would replace the device itself.
// (QSaveFile would do that wherever it may write the device's folder, as root
// may in /dev, and the JPEG library and the database writer take a FILE *.)
class ReplacingFile {
public:
    explicit ReplacingFile(const QString &filename);
    ~ReplacingFile();   // abandons the write unless Commit succeeded
    ReplacingFile(const ReplacingFile &) = delete;
    ReplacingFile &operator=(const ReplacingFile &) = delete;

    // Creates the new file, or opens the special file; false when it cannot.
    bool Open();
    // Where the writes go, from a successful Open until Commit.
    FILE *Stream() const { return stream; }
    // Has the kernel start writing what it holds of a new file, so that the
    // fsync of Commit finds little left to wait for.
    void StartDiskWrites();
    // Flushes, syncs and closes the new file and renames it over the target;
    // false when any step failed, and the target is then left as it was.
    bool Commit();
    // Why Open or Commit failed, in the system's words.
    QString ErrorMessage() const { return errorMessage; }

private:
    void Abandon();   // closes and removes the new file

    QString filename;
    QByteArray target;   // the file that is replaced or written
    QByteArray part;     // the new file beside it; empty when writing in place
    FILE *stream = nullptr;
    QString errorMessage;
};
