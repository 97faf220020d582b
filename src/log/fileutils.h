#pragma once

#include <QString>

namespace FileUtils {

// Removes the first `bytes` bytes of a file by copying the rest to "<path>.tmp" and renaming it
// over the file. Returns the number of bytes removed: `bytes`, or 0 when the file is missing or
// could not be rewritten (the file is then left as it was).
qint64 truncateFileBegin(const QString &path, qint64 bytes);

// Deletes a folder with everything in it. Symbolic links are removed, never followed, also one
// standing in the folder's place when the path ends in "/". The path is cleaned first ("." and
// ".." taken by their text).
bool removeDir(const QString &path);

} // namespace FileUtils
