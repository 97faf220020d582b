#include "support/testmain.h"
#include "ui/main/helpmanager.h"

class TestHelpManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rebuildsHelpFolderFromResources()
    {
        Q_INIT_RESOURCE(help);
        const QString helpDir = QStandardPaths::writableLocation(QStandardPaths::DataLocation) +
                                QStringLiteral("/help_new");
        // Leftovers of an earlier version must go.
        QDir().mkpath(helpDir + QStringLiteral("/old/nested"));
        QFile stale(helpDir + QStringLiteral("/stale.html"));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("old page");
        stale.close();

        HelpManager *manager = HelpManager::instance();
        QCOMPARE(HelpManager::instance(), manager);
        QCOMPARE(manager->helpDir(), helpDir);

        const QStringList resourcePages =
            QDir(QStringLiteral(":/help")).entryList({QStringLiteral("*.html")}, QDir::Files);
        QVERIFY(!resourcePages.isEmpty());
        QCOMPARE(QDir(helpDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 resourcePages);
        for (const QString &page : resourcePages) {
            QFile original(QStringLiteral(":/help/") + page);
            QFile copy(helpDir + QLatin1Char('/') + page);
            QVERIFY(original.open(QIODevice::ReadOnly));
            QVERIFY(copy.open(QIODevice::ReadOnly));
            QCOMPARE(copy.readAll(), original.readAll());
        }
    }
};

TOLVANE_TEST_MAIN(TestHelpManager)
#include "tst_helpmanager.moc"
