#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

// A small, lenient JSON reader and writer over Qt variants. Objects become QVariantMap, arrays
// QVariantList and every number a double. The reader accepts more than strict JSON (optional and
// repeated commas, text after the first value) and reports failure only through its flag.
class Json
{
public:
    // Nesting deeper than this fails: the reader recurses once per level and runs on worker
    // threads with small stacks while reading records that other people publish.
    static constexpr int kMaxDepth = 64;

    static QVariant parse(const QString &json);
    static QVariant parse(const QString &json, bool &success);

    static QByteArray serialize(const QVariant &data);
    static QByteArray serialize(const QVariant &data, bool &success);

private:
    enum Token {
        kTokenNone,
        kTokenCurlyOpen,
        kTokenCurlyClose,
        kTokenSquaredOpen,
        kTokenSquaredClose,
        kTokenColon,
        kTokenComma,
        kTokenString,
        kTokenNumber,
        kTokenTrue,
        kTokenFalse,
        kTokenNull,
    };

    static QVariant parseValue(const QString &json, int &index, bool &success, int depth);
    static QVariant parseObject(const QString &json, int &index, bool &success, int depth);
    static QVariant parseArray(const QString &json, int &index, bool &success, int depth);
    static QVariant parseString(const QString &json, int &index, bool &success);
    static QVariant parseNumber(const QString &json, int &index);
    static int lastIndexOfNumber(const QString &json, int index);
    static void eatWhitespace(const QString &json, int &index);
    static Token lookAhead(const QString &json, int index);
    static Token nextToken(const QString &json, int &index);
};

// The items joined with the separator.
QByteArray join(const QList<QByteArray> &list, const QByteArray &separator);

// The string with backslash, double quote and the usual control characters escaped, in double
// quotes.
QString sanitizeString(QString str);
