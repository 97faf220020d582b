#include "homebridge/hbaccessmanager.h"
#include "support/registrystandin.h"
#include "support/testmain.h"

#include <future>

using Tiers = HBAccessManager;

static void row(const char *name, const char *address, const char *reply, const char *results,
                int requests)
{
    QTest::newRow(name) << QString(address) << QString(reply) << QString(results) << requests;
}

class TestAccountType : public QObject
{
    Q_OBJECT
    TestSupport::RegistryStandIn m_registry;

    static QByteArray findLine(const QString &address)
    {
        return "HOMEBRIDGE_FIND: NAME=" + address.toUtf8() + "\r\n";
    }
    // The registry answers lookups of the address with the line, or closes without one.
    void answer(const QString &address, const QByteArray &line)
    {
        using TestSupport::RegistryAnswer;
        m_registry.setAnswerFor(findLine(address), line.isEmpty()
                                                       ? RegistryAnswer::close()
                                                       : RegistryAnswer::reply(line + "\r\n"));
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_registry.start() && m_registry.pointClientHere()); }

    void lookupsFromWorker_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("reply");
        // The tier twice, then isPro, isHipaa, isTolvane and isTolvaneMobile.
        QTest::addColumn<QString>("results");
        QTest::addColumn<int>("requests"); // for all six calls; 1 when the first answer is kept
        row("pro, hipaa", "a1@x.org", "OK DEVICE_TYPE=pro, HIPAA=true", "550110", 1);
        row("PRO, True", "a2@x.org", "OK DEVICE_TYPE=PRO, HIPAA=True", "550110", 1);
        row("pro", "a3@x.org", "OK DEVICE_TYPE=pro", "441010", 1);
        row("pro, other case asked anew", "A3@x.org", "OK DEVICE_TYPE=pro", "441010", 1);
        row("other device", "a4@tolvane.com", "OK DEVICE_TYPE=ios, HIPAA=true", "330011", 1);
        row("no device", "a5@x.org", "OK", "330000", 1);
        row("no user, mail domain", "a6@tolvane.com", "FAILED_NOT_EXISTS", "110010", 5);
        row("no user, capitals", "a7@Tolvane.com", "FAILED_NOT_EXISTS", "220000", 5);
        row("failed, ends with domain", "a8@xtolvane.com", "FAILED_AUTH", "110010", 4);
        row("closed without reply", "a9@x.org", "", "110000", 5);
    }
    void lookupsFromWorker()
    {
        QFETCH(QString, address);
        QFETCH(QString, reply);
        answer(address, reply.toUtf8());
        const QString results =
            std::async(std::launch::async, [&address] {
                QString results;
                for (int call = 0; call < 2; ++call)
                    results += QString::number(Tiers::checkAccountType(address));
                for (bool yes :
                     {Tiers::isProAccount(address), Tiers::isHipaaAccount(address),
                      Tiers::isTolvaneAccount(address), Tiers::isTolvaneMobileAccount(address)})
                    results += QLatin1Char(yes ? '1' : '0');
                return results;
            }).get();
        QTEST(results, "results");
        QTEST(int(m_registry.requests().count(findLine(address))), "requests");
    }

    void eightThreadsAtOnce()
    {
        const QStringList addresses{"t1@x.org", "t2@x.org", "t3@x.org"};
        const int tiers[] = {5, 3, 2};
        answer(addresses[0], "OK DEVICE_TYPE=pro, HIPAA=true");
        answer(addresses[1], "OK DEVICE_TYPE=android");
        answer(addresses[2], "FAILED_NOT_EXISTS");
        std::vector<std::future<bool>> threads;
        for (int thread = 0; thread < 8; ++thread) {
            // Each asks for every address twice, beginning with its own.
            threads.push_back(std::async(std::launch::async, [&, thread] {
                bool consistent = true;
                for (int i = thread; i < thread + 6; ++i)
                    consistent &= Tiers::checkAccountType(addresses[i % 3]) == tiers[i % 3];
                return consistent;
            }));
        }
        for (auto &thread : threads)
            QVERIFY(thread.get());
        const QByteArrayList requests = m_registry.requests();
        QVERIFY(requests.count(findLine(addresses[0])) <= 8 &&
                requests.count(findLine(addresses[1])) <= 8);
        QCOMPARE(requests.count(findLine(addresses[2])), 16); // never kept
    }
};

TOLVANE_TEST_MAIN(TestAccountType)
#include "tst_accounttype.moc"
