#include "core/stringtool.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <cstring>

const char kRegExIp[] = "((?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\\.){3}"
                        "(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?))";

const char kRegexEmail[] =
    "[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+(?:\\.[A-Za-z0-9!#$%&'*+/=?^_`{|}~-]+)*"
    "@(?:[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?\\.)+[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?";

QString StringTool::cutIpAddress(const QString &text)
{
    static const QRegularExpression ip(QString::fromLatin1(kRegExIp));
    const QRegularExpressionMatch match = ip.match(text);
    return match.hasMatch() ? match.captured(1) : QString();
}

int StringTool::generateRandomNumber(int low, int high)
{
    if (high < low)
        std::swap(low, high);
    const quint64 range = quint64(qint64(high) - qint64(low)) + 1; // at most 2^32
    return int(qint64(low) + qint64(QRandomGenerator::global()->generate64() % range));
}

QString StringTool::base64_string(const QString &text)
{
    return QString::fromLatin1(text.toUtf8().toBase64());
}

std::unique_ptr<char[]> StringTool::copyData(const QByteArray &data)
{
    const int length = int(qstrnlen(data.constData(), uint(data.size())));
    auto copy = std::make_unique<char[]>(size_t(length) + 1);
    std::memcpy(copy.get(), data.constData(), size_t(length));
    copy[length] = '\0';
    return copy;
}

QString StringTool::join(const QList<int> &numbers)
{
    QString result;
    for (int number : numbers)
        result += QStringLiteral("%1,").arg(number);
    result.chop(1);
    return result;
}
