#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QDebug>
#include <QSharedData>
#include <QSslError>
#include <QString>
#include <type_traits>

class QObject;

namespace Log {

// Enumerations are written as their decimal value, except those that opt in to being written by
// name through their own QDebug operator. An enumeration of this program opts in where it is
// declared, next to its operator, so the logging library depends on none of its users.
template <typename T>
struct EnumByName : std::false_type {
};

// The toolkit's socket errors, socket states and TLS errors read as Qt's debug stream writes
// them, so that a log line names them wherever they are logged.
template <> struct EnumByName<QAbstractSocket::SocketError> : std::true_type
{
};
template <> struct EnumByName<QAbstractSocket::SocketState> : std::true_type
{
};
template <> struct EnumByName<QSslError::SslError> : std::true_type
{
};

// The state of one message. Destroying it destroys the stream, which hands the finished text to
// the Qt message system.
class OutSharedData : public QSharedData
{
public:
    explicit OutSharedData(QtMsgType type) : stream(type) {}
    QDebug stream;
};

// One log message under construction. Copies share the message; it is handed over once, when
// the last copy goes. A disabled message holds nothing and costs one test per item.
class Out
{
public:
    Out() = default;
    Out(bool enabled, QtMsgType type);

    bool isEnabled() const { return m_data; }

    template <typename T>
    Out &operator<<(const T &value)
    {
        if (m_data)
            write(m_data->stream, value);
        return *this;
    }

    Out &space();
    Out &nospace();
    Out &maybeSpace();

    // The underlying stream of an enabled message, for the header writer.
    QDebug *stream() { return m_data ? &m_data->stream : nullptr; }

private:
    static void writeQuoted(QDebug &stream, const QString &text);

    template <typename T>
    static void write(QDebug &stream, const T &value)
    {
        using D = std::decay_t<T>;
        if constexpr (std::is_enum_v<D>) {
            if constexpr (EnumByName<D>::value)
                stream << value;
            else
                stream << static_cast<long long>(value);
        } else if constexpr (std::is_same_v<D, QString>) {
            writeQuoted(stream, value);
        } else if constexpr (std::is_same_v<D, QByteArray>) {
            writeQuoted(stream, QString::fromUtf8(value));
        } else if constexpr (std::is_same_v<D, char *> || std::is_same_v<D, const char *>) {
            stream << value;
        } else if constexpr (std::is_array_v<T>) {
            stream << static_cast<const char *>(value);
        } else if constexpr (std::is_pointer_v<D>) {
            using Pointee = std::remove_cv_t<std::remove_pointer_t<D>>;
            if constexpr (std::is_base_of_v<QObject, Pointee>)
                stream << static_cast<const QObject *>(value);
            else
                stream << static_cast<const void *>(value);
        } else {
            stream << value;
        }
    }

    QExplicitlySharedDataPointer<OutSharedData> m_data;
};

} // namespace Log
