#include "log/logger.h"
#include "proxy/tolvaneproxy.h"
#include "support/testmain.h"

namespace {
QStringList s_messages;
void capture(QtMsgType, const QMessageLogContext &, const QString &text)
{
    s_messages.append(text);
}
} // namespace

class TestErrorCode : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void names_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("name");
        const char *const names[] = {
            "kErrorUnknown",          "kErrorNetworkError",
            "kErrorNetworkUnreachable", "kErrorInvalidSettings",
            "kErrorServerOutOfDate",  "kErrorOldServer",
            "kErrorHomeBridgeNotFound", "kErrorFailedConnecting",
            "kErrorInvalidPassword",  "kErrorAuthTemporaryServerIssue",
            "kErrorFailedStartPOP3ForwardServer", "kErrorFailedStartSMTPForwardServer",
        };
        for (int code = 0; code < 12; ++code)
            QTest::newRow(names[code]) << code << QString::fromLatin1(names[code]);
        QTest::newRow("out of range writes nothing") << 12 << QString();
    }
    void names()
    {
        QFETCH(int, code);
        QFETCH(QString, name);
        s_messages.clear();
        qInstallMessageHandler(capture);
        const Log::Logger logger("ErrorCodeTest");
        logger.setLevel(Log::DEBUG);
        logger.debug() << "code" << static_cast<TolvaneProxy::ErrorCode>(code) << "end";
        qInstallMessageHandler(nullptr);
        QCOMPARE(s_messages.size(), 1);
        const QString items = s_messages[0].mid(s_messages[0].indexOf(QLatin1String(" ] ")) + 3);
        // By name, without quotes; other enumerations of the log stream stay numbers.
        QCOMPARE(items, name.isEmpty() ? QStringLiteral("code end")
                                       : QStringLiteral("code %1 end").arg(name));
    }
};

TOLVANE_TEST_MAIN(TestErrorCode)
#include "tst_errorcode.moc"
