#pragma once

#include <QFile>

#include <algorithm>
#include <atomic>
#include <sys/stat.h>
#include <thread>
#include <vector>

// The permission bits of a file, -1 when it is missing.
inline int fileMode(const QString &path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

// Whether threads released together at a singleton's first call all get one object, in every
// one of several rounds that start without an instance.
template <typename Singleton> bool sameInstanceFromThreads()
{
    for (int round = 0; round < 20; ++round) {
        Singleton::drop();
        std::atomic<bool> go{false};
        std::vector<Singleton *> seen(8, nullptr);
        std::vector<std::thread> threads;
        for (Singleton *&slot : seen) {
            threads.emplace_back([&go, &slot] {
                while (!go)
                    std::this_thread::yield();
                slot = Singleton::instance();
            });
        }
        go = true;
        for (std::thread &thread : threads)
            thread.join();
        if (std::count(seen.begin(), seen.end(), Singleton::instance()) != int(seen.size()))
            return false;
    }
    return true;
}
