#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>

// A dotted IPv4 address; capture group 1 is the address.
extern const char kRegExIp[];
// An e-mail address: dot-separated runs of the characters allowed in a local part, "@", then
// labels of letters, digits and inner hyphens separated by dots.
extern const char kRegexEmail[];

// Small text helpers, as static functions.
class StringTool
{
public:
    StringTool() = delete;

    // The first IPv4 address in the text, or an empty string.
    static QString cutIpAddress(const QString &text);
    // A random number from low to high, both included (the two are swapped when high < low).
    static int generateRandomNumber(int low, int high);
    // Base64 of the text's UTF-8 bytes.
    static QString base64_string(const QString &text);
    // A zero-terminated copy of the bytes up to the first zero byte.
    static std::unique_ptr<char[]> copyData(const QByteArray &data);
    // "1,2,3"; empty for an empty list.
    static QString join(const QList<int> &numbers);
};
