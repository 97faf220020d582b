#pragma once

#include "support/certificatefactory.h"
#include "support/registryanswer.h"

#include <QByteArrayList>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QThread>
#include <memory>

namespace TestSupport {

class TlsTestServer;

// A registry on loopback for tests: a TLS line server running in a thread of its own (so a
// blocking exchange may hold the test's thread), which records the request line of every
// connection and answers it from a script. Its identity is a leaf of the CA that
// CertificateFactory::writeRegistryConfig makes the client trust, or a deliberately wrong one.
class RegistryStandIn
{
public:
    enum Identity {
        kTrusted,   // leaf of the trusted CA for 127.0.0.1 and localhost
        kForeignCa, // same names, signed by a CA nobody trusts
        kWrongName, // trusted CA, but issued for another host name only
    };

    explicit RegistryStandIn(Identity identity = kTrusted,
                             const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    ~RegistryStandIn();
    RegistryStandIn(const RegistryStandIn &) = delete;
    RegistryStandIn &operator=(const RegistryStandIn &) = delete;

    // Starts the thread and listens at a free port; false when it cannot.
    bool start();
    quint16 port() const { return m_port; }
    QHostAddress address() const { return m_address; }

    // Answers for the next connections, one each, in order; after them the default answer.
    void enqueue(const RegistryAnswer &answer);
    void setDefaultAnswer(const RegistryAnswer &answer);
    // The answer to every connection whose request line (line end included) is this one, ahead
    // of the script: for clients in several threads whose order cannot be known.
    void setAnswerFor(const QByteArray &requestLine, const RegistryAnswer &answer);

    // Points this process's registry client here the way an installation does: a "config.cfg"
    // naming this stand-in, in a folder of the working directory, read afresh.
    bool pointClientHere() const;

    // The request lines read so far, each with its line end as it came.
    QByteArrayList requests() const;
    int connectionCount() const;

    // A HOMEBRIDGE_FIND reply carrying the record: "OK DATA=<Base64 with _ for =>" followed by
    // ", " and the further fields when given, and CR LF.
    static QByteArray findReply(const QByteArray &recordJson, const QByteArray &fields = QByteArray());

private:
    void handleConnection(class QSslSocket *socket);
    void answer(QSslSocket *socket, const QByteArray &line);
    RegistryAnswer nextAnswer(const QByteArray &line);

    TestIdentity m_identity;
    QHostAddress m_address;
    quint16 m_port = 0;
    QThread m_thread;
    std::unique_ptr<QObject> m_context; // lives in m_thread; parent of the server
    TlsTestServer *m_server = nullptr;

    mutable QMutex m_mutex;
    QList<RegistryAnswer> m_script;
    QHash<QByteArray, RegistryAnswer> m_answersByLine;
    RegistryAnswer m_defaultAnswer = RegistryAnswer::silence();
    QByteArrayList m_requests;
    int m_connections = 0;
};

} // namespace TestSupport
