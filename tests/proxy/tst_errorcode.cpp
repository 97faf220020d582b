#include "log/logger.h"
#include "proxy/tolvaneproxy.h"
#include "support/logcapture.h"
#include "support/testmain.h"

class TestErrorCode : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A code goes into a log line by its name, unquoted; one outside the enumeration as nothing.
    void names()
    {
        TestSupport::LogCapture log;
        for (int code = 0; code <= 12; ++code)
            Log::Logger("ErrorCodeTest").error()
                << static_cast<TolvaneProxy::ErrorCode>(code) << "|";
        QCOMPARE(log.lines().replaceInStrings(QRegularExpression(".* ] "), "").join(""),
                 "kErrorUnknown |kErrorNetworkError |kErrorNetworkUnreachable |"
                 "kErrorInvalidSettings |kErrorServerOutOfDate |kErrorOldServer |"
                 "kErrorHomeBridgeNotFound |kErrorFailedConnecting |kErrorInvalidPassword |"
                 "kErrorAuthTemporaryServerIssue |kErrorFailedStartPOP3ForwardServer |"
                 "kErrorFailedStartSMTPForwardServer ||");
    }
};

TOLVANE_TEST_MAIN(TestErrorCode)
#include "tst_errorcode.moc"
