#include "core/emailfromaddressstring.h"

#include "core/stringtool.h"

#include <QRegularExpression>

QString emailFromAddressString(const QString &text)
{
    static const QRegularExpression email(QString::fromLatin1(kRegexEmail));
    const QRegularExpressionMatch match = email.match(text);
    return match.hasMatch() ? match.captured(0) : QString();
}
