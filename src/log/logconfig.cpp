#include "log/logconfig.h"

#include "log/level.h"
#include "log/loggerdata.h"

#include <QFile>
#include <cstdio>

namespace Log {

void setLogLevel(std::string &name, std::string &value)
{
    if (name.empty() && value.empty())
        return;
    int level = -1;
    for (int i = 0; i < kLevelCount; ++i) {
        if (value == levelLabel(i)) {
            level = i;
            break;
        }
    }
    if (level < 0) {
        std::fprintf(stderr, "Invalid log level - %s\n", value.c_str());
    } else {
        std::fprintf(stdout, "Setting Logger(%s) to %s\n", name.c_str(), levelLabel(level));
        std::fflush(stdout);
        LoggerData *node = name == "ROOT" ? LoggerData::getRootLoggerData()
                                          : LoggerData::getLoggerData(QString::fromLatin1(
                                                name.data(), int(name.size())));
        node->setLevel(static_cast<Level>(level));
    }
    name.clear();
    value.clear();
}

void configure(const std::string &path)
{
    std::fprintf(stdout, "LOG - opening file %s", path.c_str());
    std::fflush(stdout);
    QFile file(QFile::decodeName(QByteArray::fromStdString(path)));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "Failed to open file - \"%s\"", path.c_str());
        std::fflush(stderr);
        return;
    }
    const QByteArray content = file.readAll();

    enum class State { Name, Value, Comment };
    State state = State::Name;
    std::string name;
    std::string value;
    for (const char c : content) {
        if (c == ' ' || c == '\t')
            continue;
        switch (state) {
        case State::Name:
            if (c == '#') {
                if (!name.empty()) {
                    std::fprintf(stderr, "expected name=value pair found - \"%s\"", name.c_str());
                    std::fflush(stderr);
                    return;
                }
                state = State::Comment;
            } else if (c == '=') {
                state = State::Value;
            } else if (c != '\n' && c != '\r') {
                name += c;
            }
            break;
        case State::Value:
            if (c == '\r')
                break;
            if (c == '\n' || c == '#') {
                setLogLevel(name, value);
                state = c == '\n' ? State::Name : State::Comment;
            } else {
                value += c;
            }
            break;
        case State::Comment:
            if (c == '\n')
                state = State::Name;
            break;
        }
    }
    if (!name.empty() && !value.empty())
        setLogLevel(name, value);
}

} // namespace Log
