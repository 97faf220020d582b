#pragma once

#include "support/certificatefactory.h"

#include <QByteArrayList>
#include <QHash>
#include <QMutex>
#include <QThread>

namespace TestSupport {

// A registry on 127.0.0.1: a TLS line server in a thread of its own (so a blocking exchange may
// hold the test's thread) that records each connection's request line and answers from a script.
class RegistryStandIn
{
public:
    // After delayMs, the text in pieces of `piece` bytes pauseMs apart (0: whole), then a close
    // when `close` is set. No text and no close is silence, the default.
    struct Answer
    {
        QByteArray text;
        int delayMs = 0;
        int piece = 0;
        int pauseMs = 0;
        bool close = false;

        static Answer reply(const QByteArray &text, int delayMs = 0) { return {text, delayMs}; }
    };

    // By default a leaf for 127.0.0.1 of the CA that pointClientAt makes the client trust.
    explicit RegistryStandIn(const TestIdentity &identity = CertificateFactory::leaf());
    ~RegistryStandIn();

    bool start(); // listens at a free port; false when it cannot
    quint16 port() const { return m_port; }
    QHostAddress address() const { return QHostAddress(QHostAddress::LocalHost); }

    // Answers for the next connections, one each, in order; after them the default answer.
    void enqueue(const Answer &answer);
    // The answer to every connection whose request line (line end included) is this one.
    void setAnswerFor(const QByteArray &requestLine, const Answer &answer);
    void setDefaultAnswer(const Answer &answer) { setAnswerFor(QByteArray(), answer); }
    // The request lines read so far, each with its line end.
    QByteArrayList requests() const;

    // Points the registry client at host:port through a fresh "config.cfg" that trusts the CA.
    static bool pointClientAt(quint16 port, const QString &host = QStringLiteral("127.0.0.1"));
    bool pointClientHere() const { return pointClientAt(m_port); }

    // "OK DATA=<the record in Base64, _ for =>", then ", " and the fields when given, and CR LF.
    static QByteArray findReply(const QByteArray &recordJson, const QByteArray &fields = {});

private:
    TestIdentity m_identity;
    quint16 m_port = 0;
    QThread m_thread;
    QObject *m_context; // owned; lives in m_thread, where it is deleted with the server it holds
    mutable QMutex m_mutex; // guards the members below
    QList<Answer> m_script;
    QHash<QByteArray, Answer> m_answersByLine; // the empty line's is the default
    QByteArrayList m_requests;
};

using RegistryAnswer = RegistryStandIn::Answer;

} // namespace TestSupport
