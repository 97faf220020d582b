#include "core/clienthelloreader.h"

namespace {

constexpr int kRecordHeaderSize = 5;
constexpr quint8 kContentTypeHandshake = 22;
constexpr quint8 kHandshakeClientHello = 1;
constexpr quint16 kExtensionServerName = 0;
constexpr quint8 kNameTypeHostName = 0;

// A read cursor over [pos, end) of a byte array that refuses to step past end.
class Cursor
{
public:
    Cursor(const QByteArray &data, int pos, int end) : m_data(data), m_pos(pos), m_end(end) {}

    int pos() const { return m_pos; }
    int remaining() const { return m_end - m_pos; }

    bool read8(quint32 *value) { return readBigEndian(1, value); }
    bool read16(quint32 *value) { return readBigEndian(2, value); }
    bool read24(quint32 *value) { return readBigEndian(3, value); }

    bool skip(quint32 count)
    {
        if (count > quint32(remaining()))
            return false;
        m_pos += int(count);
        return true;
    }

private:
    bool readBigEndian(int size, quint32 *value)
    {
        if (remaining() < size)
            return false;
        quint32 result = 0;
        for (int i = 0; i < size; ++i)
            result = (result << 8) | quint8(m_data.at(m_pos + i));
        m_pos += size;
        *value = result;
        return true;
    }

    const QByteArray &m_data;
    int m_pos;
    int m_end;
};

// The host name inside one server_name extension body [pos, end), or empty.
QString readServerNameList(const QByteArray &data, int pos, int end)
{
    Cursor extension(data, pos, end);
    quint32 listLength = 0;
    if (!extension.read16(&listLength) || listLength > quint32(extension.remaining()))
        return QString();
    Cursor list(data, extension.pos(), extension.pos() + int(listLength));
    quint32 nameType = 0xff;
    while (list.read8(&nameType)) {
        if (nameType != kNameTypeHostName)
            continue;
        quint32 nameLength = 0;
        const int namePos = list.pos() + 2;
        if (!list.read16(&nameLength) || !list.skip(nameLength))
            return QString();
        return QString::fromLatin1(data.constData() + namePos, int(nameLength));
    }
    return QString();
}

} // namespace

bool checkSSLPackageReady(const QByteArray &data)
{
    if (data.isEmpty())
        return false;
    if (quint8(data.at(0)) != kContentTypeHandshake)
        return true;
    if (data.size() < kRecordHeaderSize)
        return false;
    const int recordLength = (quint8(data.at(3)) << 8) | quint8(data.at(4));
    return data.size() - kRecordHeaderSize >= recordLength;
}

QString getSNI(const QByteArray &data)
{
    Cursor record(data, 0, data.size());
    quint32 contentType = 0;
    quint32 version = 0;
    quint32 recordLength = 0;
    if (!record.read8(&contentType) || contentType != kContentTypeHandshake
        || !record.read16(&version) || !record.read16(&recordLength)
        || recordLength > quint32(record.remaining()))
        return QString();

    // From here on only the record's body counts.
    Cursor body(data, record.pos(), record.pos() + int(recordLength));
    quint32 handshakeType = 0;
    quint32 handshakeLength = 0;
    if (!body.read8(&handshakeType) || handshakeType != kHandshakeClientHello
        || !body.read24(&handshakeLength) || handshakeLength > quint32(body.remaining()))
        return QString();

    Cursor hello(data, body.pos(), body.pos() + int(handshakeLength));
    quint32 length = 0;
    quint32 extensionsLength = 0;
    if (!hello.skip(2 + 32) // client version, random
        || !hello.read8(&length) || !hello.skip(length) // session id
        || !hello.read16(&length) || !hello.skip(length) // cipher suites
        || !hello.read8(&length) || !hello.skip(length) // compression methods
        || !hello.read16(&extensionsLength))
        return QString();

    while (hello.remaining() > 0) {
        quint32 type = 0;
        quint32 extensionLength = 0;
        if (!hello.read16(&type) || !hello.read16(&extensionLength))
            return QString();
        const int extensionPos = hello.pos();
        if (!hello.skip(extensionLength))
            return QString();
        if (type != kExtensionServerName)
            continue;
        const QString name = readServerNameList(data, extensionPos, hello.pos());
        if (!name.isEmpty())
            return name;
    }
    return QString();
}
