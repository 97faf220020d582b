#include "homebridge/json.h"

#include <cmath>

namespace {

int hexDigit(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// Four hexadecimal digits as one UTF-16 unit; anything else gives 0.
ushort hexUnit(const QString &json, int index)
{
    ushort value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = hexDigit(json.at(index + i));
        if (digit < 0)
            return 0;
        value = static_cast<ushort>(value * 16 + digit);
    }
    return value;
}

bool atEnd(const QString &json, int index)
{
    while (index < json.size()) {
        const ushort c = json.at(index).unicode();
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
            return false;
        ++index;
    }
    return true;
}

bool isNumberCharacter(QChar c)
{
    const ushort u = c.unicode();
    return (u >= '0' && u <= '9') || u == '+' || u == '-' || u == '.' || u == 'e' || u == 'E';
}

} // namespace

QVariant Json::parse(const QString &json)
{
    bool success = true;
    return parse(json, success);
}

QVariant Json::parse(const QString &json, bool &success)
{
    success = true;
    if (json.isNull())
        return QVariant();
    int index = 0;
    return parseValue(json, index, success, 0);
}

QVariant Json::parseValue(const QString &json, int &index, bool &success, int depth)
{
    switch (lookAhead(json, index)) {
    case kTokenString:
        return parseString(json, index, success);
    case kTokenNumber:
        return parseNumber(json, index);
    case kTokenCurlyOpen:
        return parseObject(json, index, success, depth + 1);
    case kTokenSquaredOpen:
        return parseArray(json, index, success, depth + 1);
    case kTokenTrue:
        nextToken(json, index);
        return QVariant(true);
    case kTokenFalse:
        nextToken(json, index);
        return QVariant(false);
    case kTokenNull:
        nextToken(json, index);
        return QVariant();
    default:
        break;
    }
    success = false;
    return QVariant();
}

QVariant Json::parseObject(const QString &json, int &index, bool &success, int depth)
{
    if (depth > kMaxDepth) {
        success = false;
        return QVariantMap();
    }
    QVariantMap map;
    nextToken(json, index);
    for (;;) {
        const Token token = lookAhead(json, index);
        // Only the end of the text stops an object here: any other character opens a key, even
        // one that is no token, so a key that lost its opening quote is still read.
        if (token == kTokenNone && atEnd(json, index)) {
            success = false;
            return QVariantMap();
        }
        if (token == kTokenComma) {
            nextToken(json, index);
        } else if (token == kTokenCurlyClose) {
            nextToken(json, index);
            return map;
        } else {
            const QString name = parseString(json, index, success).toString();
            if (!success)
                return QVariantMap();
            if (nextToken(json, index) != kTokenColon) {
                success = false;
                return QVariantMap();
            }
            const QVariant value = parseValue(json, index, success, depth);
            if (!success)
                return QVariantMap();
            map.insert(name, value);
        }
    }
}

QVariant Json::parseArray(const QString &json, int &index, bool &success, int depth)
{
    if (depth > kMaxDepth) {
        success = false;
        return QVariantList();
    }
    QVariantList list;
    nextToken(json, index);
    for (;;) {
        const Token token = lookAhead(json, index);
        if (token == kTokenNone) {
            success = false;
            return QVariantList();
        }
        if (token == kTokenComma) {
            nextToken(json, index);
        } else if (token == kTokenSquaredClose) {
            nextToken(json, index);
            return list;
        } else {
            const QVariant value = parseValue(json, index, success, depth);
            if (!success)
                return QVariantList();
            list.append(value);
        }
    }
}

QVariant Json::parseString(const QString &json, int &index, bool &success)
{
    eatWhitespace(json, index);
    const int length = json.size();
    if (index >= length) {
        success = false;
        return QVariant();
    }
    // Whatever stands here opens the string.
    ++index;

    QString s;
    bool complete = false;
    while (index < length) {
        const QChar c = json.at(index++);
        if (c == QLatin1Char('"')) {
            complete = true;
            break;
        }
        if (c != QLatin1Char('\\')) {
            s.append(c);
            continue;
        }
        if (index == length)
            break;
        const QChar escaped = json.at(index++);
        switch (escaped.unicode()) {
        case '"':
            s.append(QLatin1Char('"'));
            break;
        case '\\':
            s.append(QLatin1Char('\\'));
            break;
        case '/':
            s.append(QLatin1Char('/'));
            break;
        case 'b':
            s.append(QChar(0x08));
            break;
        case 'f':
            s.append(QChar(0x0c));
            break;
        case 'n':
            s.append(QLatin1Char('\n'));
            break;
        case 'r':
            s.append(QLatin1Char('\r'));
            break;
        case 't':
            s.append(QLatin1Char('\t'));
            break;
        case 'u':
            if (length - index < 4) {
                index = length;
                break;
            }
            s.append(QChar(hexUnit(json, index)));
            index += 4;
            break;
        default:
            // An unknown escape adds nothing.
            break;
        }
    }

    if (!complete) {
        success = false;
        return QVariant();
    }
    return QVariant(s);
}

QVariant Json::parseNumber(const QString &json, int &index)
{
    eatWhitespace(json, index);
    const int last = lastIndexOfNumber(json, index);
    const QString text = json.mid(index, last - index + 1);
    index = last + 1;
    // QString::toDouble reads the C locale form whatever the process locale is.
    bool ok = false;
    const double value = text.toDouble(&ok);
    return QVariant(ok && std::isfinite(value) ? value : 0.0);
}

int Json::lastIndexOfNumber(const QString &json, int index)
{
    int last = index;
    while (last < json.size() && isNumberCharacter(json.at(last)))
        ++last;
    return last - 1;
}

void Json::eatWhitespace(const QString &json, int &index)
{
    while (index < json.size()) {
        const ushort c = json.at(index).unicode();
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
            break;
        ++index;
    }
}

Json::Token Json::lookAhead(const QString &json, int index)
{
    return nextToken(json, index);
}

Json::Token Json::nextToken(const QString &json, int &index)
{
    eatWhitespace(json, index);
    if (index == json.size())
        return kTokenNone;

    switch (json.at(index++).toLatin1()) {
    case '{':
        return kTokenCurlyOpen;
    case '}':
        return kTokenCurlyClose;
    case '[':
        return kTokenSquaredOpen;
    case ']':
        return kTokenSquaredClose;
    case ':':
        return kTokenColon;
    case ',':
        return kTokenComma;
    case '"':
        return kTokenString;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
        return kTokenNumber;
    default:
        break;
    }
    --index;

    const int remaining = json.size() - index;
    const struct {
        QLatin1String word;
        Token token;
    } words[] = {
        {QLatin1String("true"), kTokenTrue},
        {QLatin1String("false"), kTokenFalse},
        {QLatin1String("null"), kTokenNull},
    };
    for (const auto &word : words) {
        if (remaining >= word.word.size() && json.midRef(index, word.word.size()) == word.word) {
            index += word.word.size();
            return word.token;
        }
    }
    return kTokenNone;
}

QByteArray Json::serialize(const QVariant &data)
{
    bool success = true;
    return serialize(data, success);
}

QByteArray Json::serialize(const QVariant &data, bool &success)
{
    success = true;
    QByteArray str;

    const int type = data.userType();
    if (!data.isValid()) {
        str = "null";
    } else if (type == QMetaType::QVariantList || type == QMetaType::QStringList) {
        QList<QByteArray> values;
        const QVariantList list = data.toList();
        for (const QVariant &v : list) {
            const QByteArray serialized = serialize(v);
            if (serialized.isNull()) {
                str = QByteArray();
                break;
            }
            values << serialized;
        }
        if (values.size() == list.size())
            str = "[ " + join(values, ", ") + " ]";
    } else if (type == QMetaType::QVariantMap) {
        const QVariantMap map = data.toMap();
        QList<QByteArray> pairs;
        for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
            const QByteArray serialized = serialize(it.value());
            if (serialized.isNull())
                break;
            pairs << sanitizeString(it.key()).toUtf8() + " : " + serialized;
        }
        if (pairs.size() == map.size())
            str = "{ " + join(pairs, ", ") + " }";
    } else if (type == QMetaType::QString || type == QMetaType::QByteArray) {
        str = sanitizeString(data.toString()).toUtf8();
    } else if (type == QMetaType::Double) {
        const double value = data.toDouble();
        // Infinity and NaN have no JSON form; writing "inf.0" would only produce broken text.
        if (std::isfinite(value)) {
            str = QByteArray::number(value, 'g', 6);
            if (!str.contains('.') && !str.contains('e'))
                str += ".0";
        }
    } else if (type == QMetaType::Bool) {
        str = data.toBool() ? "true" : "false";
    } else if (type == QMetaType::ULongLong) {
        str = QByteArray::number(data.toULongLong());
    } else if (data.canConvert(QMetaType::LongLong)) {
        str = QByteArray::number(data.toLongLong());
    } else if (data.canConvert(QMetaType::QString)) {
        str = sanitizeString(data.toString()).toUtf8();
    }

    if (str.isNull())
        success = false;
    return str;
}

QByteArray join(const QList<QByteArray> &list, const QByteArray &separator)
{
    QByteArray res;
    for (const QByteArray &item : list) {
        if (!res.isEmpty())
            res.append(separator);
        res.append(item);
    }
    return res;
}

QString sanitizeString(QString str)
{
    str.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    str.replace(QLatin1String("\""), QLatin1String("\\\""));
    str.replace(QChar(0x08), QLatin1String("\\b"));
    str.replace(QChar(0x0c), QLatin1String("\\f"));
    str.replace(QLatin1String("\n"), QLatin1String("\\n"));
    str.replace(QLatin1String("\r"), QLatin1String("\\r"));
    str.replace(QLatin1String("\t"), QLatin1String("\\t"));
    return QLatin1String("\"") + str + QLatin1String("\"");
}
