#include "homebridge/hbaccessmanager.h"
#include "support/registrystandin.h"
#include "support/testmain.h"

#include <future>

using Tiers = HBAccessManager;

class TestAccountType : public QObject
{
    Q_OBJECT
    TestSupport::RegistryStandIn m_registry;

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_registry.start() && m_registry.pointClientHere()); }

    void tiersFromWorkers_data()
    {
        QTest::addColumn<QByteArray>("reply"); // "" closes without one
        // The tier twice, then isPro, isHipaa, isTolvane and isTolvaneMobile.
        QTest::addColumn<QString>("results");
        QTest::addColumn<int>("requests"); // per thread; 1 when the answer is kept
        const auto row = [](const char *address, const char *reply, const char *results, int n) {
            QTest::newRow(address) << QByteArray(reply) << QString(results) << n;
        };
        row("a1@x.org", "OK DEVICE_TYPE=PRO, HIPAA=True", "550110", 1);
        row("a3@x.org", "OK DEVICE_TYPE=pro", "441010", 1);
        row("A3@x.org", "OK DEVICE_TYPE=pro", "441010", 1);
        row("a4@tolvane.com", "OK DEVICE_TYPE=ios, HIPAA=true", "330011", 1);
        row("a6@tolvane.com", "FAILED_NOT_EXISTS", "110010", 5);
        row("a7@Tolvane.com", "FAILED_NOT_EXISTS", "220000", 5);
        row("a8@xtolvane.com", "FAILED_AUTH", "110010", 4);
        row("a9@x.org", "", "110000", 5);
    }

    // Eight worker threads at once ask about the address (the row's name): a positive answer is
    // kept for the run, any other asked again at the next call.
    void tiersFromWorkers()
    {
        const QString address = QTest::currentDataTag();
        QFETCH(QByteArray, reply);
        QFETCH(int, requests);
        const QByteArray line = "HOMEBRIDGE_FIND: NAME=" + address.toUtf8() + "\r\n";
        m_registry.setAnswerFor(line,
                                {reply.isEmpty() ? reply : reply + "\r\n", 0, 0, 0, !reply.size()});
        std::vector<std::future<QString>> threads;
        for (int thread = 0; thread < 8; ++thread) {
            threads.push_back(std::async(std::launch::async, [&address] {
                QString results;
                for (int call = 0; call < 2; ++call)
                    results += QString::number(Tiers::checkAccountType(address));
                for (bool yes :
                     {Tiers::isProAccount(address), Tiers::isHipaaAccount(address),
                      Tiers::isTolvaneAccount(address), Tiers::isTolvaneMobileAccount(address)})
                    results += QLatin1Char(yes ? '1' : '0');
                return results;
            }));
        }
        for (auto &thread : threads)
            QTEST(thread.get(), "results");
        const int sent = m_registry.requests().count(line);
        QVERIFY2(requests == 1 ? sent >= 1 && sent <= 8 : sent == 8 * requests,
                 qPrintable(QString::number(sent)));
    }
};

TOLVANE_TEST_MAIN(TestAccountType)
#include "tst_accounttype.moc"
