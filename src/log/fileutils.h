#pragma once

#include <QString>

namespace FileUtils {

// Removes the first `bytes` bytes of a file by copying the rest to "<path>.tmp" and renaming it
// over the file. Returns the number of bytes removed: `bytes`, or 0 when the file is missing or
// could not be rewritten (the file is then left as it was).
qint64 truncateFileBegin(const QString &path, qint64 bytes);

// Deletes a folder with everything in it. Symbolic links are removed, never followed.
bool removeDir(const QString &path);

} // namespace FileUtils
