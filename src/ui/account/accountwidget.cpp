#include "ui/account/accountwidget.h"

#include "log/logger.h"
#include "ui_accountwidget.h"

#include <QMovie>

namespace {
const Log::Logger kLog("AccountWidget");

QString statusText(AccountWidget::AccountStatus status)
{
    switch (status) {
    case AccountWidget::kOff:
        return AccountWidget::tr("Off");
    case AccountWidget::kConnecting:
        return AccountWidget::tr("Connecting");
    case AccountWidget::kConnected:
        return AccountWidget::tr("Connected");
    case AccountWidget::kError:
        return AccountWidget::tr("Error");
    }
    return QString();
}
} // namespace

AccountWidget::AccountWidget(const AccountDetails &account, int profileId, QWidget *parent)
    : QFrame(parent), m_ui(std::make_unique<Ui_AccountWidget>()), m_account(account),
      m_profileId(profileId), m_accessManager(new HBAccessManager(this)),
      m_connectingAnimation(new QMovie(QStringLiteral(":/animation.gif"), QByteArray(), this))
{
    kLog.trace(this) << Q_FUNC_INFO << account.m_accountName << profileId;
    m_ui->setupUi(this);
    m_ui->connectingAnimationLabel->setMovie(m_connectingAnimation);
    m_ui->userNameLabel->setText(m_account.m_login);
    setStatus(kOff);
    m_restartTimer.setSingleShot(true);
    m_restartTimer.setInterval(kRestartInterval);
    connect(&m_restartTimer, &QTimer::timeout, this, &AccountWidget::connectToHomeBridge);
    connect(m_accessManager, &HBAccessManager::connected, this, &AccountWidget::onConnected);
    connect(m_accessManager, &HBAccessManager::disconnected, this, &AccountWidget::onDisconnected);
    connect(m_accessManager, &HBAccessManager::error, this, &AccountWidget::onError);
}

AccountWidget::~AccountWidget()
{
    kLog.trace(this) << Q_FUNC_INFO;
    // The access manager goes with the panel's children, after this object stopped being one.
    disconnect(m_accessManager, nullptr, this, nullptr);
}

void AccountWidget::connectToHomeBridge()
{
    kLog.trace(this) << Q_FUNC_INFO;
    m_restartTimer.stop();
    setStatus(kConnecting);
    m_accessManager->connectToHomeBridge(m_account.m_login, true);
}

void AccountWidget::onConnected()
{
    kLog.trace(this) << Q_FUNC_INFO;
    const HBAccessManager &manager = *m_accessManager;
    const struct
    {
        const char *name;
        QString host;
        quint16 port;
    } services[] = {{"POP3", manager.pop3Address(), manager.pop3Port()},
                    {"SMTP", manager.smtpAddress(), manager.smtpPort()},
                    {"PMTP", manager.pmtpAddress(), manager.pmtpPort()}};
    QStringList places;
    for (const auto &service : services) {
        if (service.host.isEmpty() || service.port == 0) {
            // A mail client sent there would reach nothing: this is no connection.
            kLog.warn(this) << "No host or port for" << service.name << "; connecting again in"
                            << m_restartTimer.interval() << "ms";
            m_accessManager->disconnectFromHomeBridge();
            m_restartTimer.start();
            showError(HBAccessManager::kConnectionFailed,
                      errorString(HBAccessManager::kConnectionFailed, manager.isPro()));
            return;
        }
        places << QStringLiteral("%1 %2:%3")
                      .arg(QLatin1String(service.name), service.host,
                           QString::number(service.port));
    }
    const QString typeName = QString::fromLatin1(TolvaneMail::toString(manager.connectionType()));
    kLog.info(this) << qUtf8Printable(
        QStringLiteral("%1 connected via %2: %3")
            .arg(m_account.m_login, typeName, places.join(QLatin1String(", "))));
    m_ui->connectionTypeLabel->setText(typeName);
    m_ui->servicesLabel->setText(places.join(QLatin1Char('\n')));
    setStatus(kConnected);
}

void AccountWidget::onDisconnected()
{
    kLog.trace(this) << Q_FUNC_INFO;
    kLog.info(this) << qUtf8Printable(m_account.m_login + QStringLiteral(" disconnected"));
    // The access manager looks for the HomeBridge again by itself.
    setStatus(kConnecting);
}

void AccountWidget::onError(HBAccessManager::ErrorCode code, const QString &text)
{
    kLog.trace(this) << Q_FUNC_INFO << code << text;
    showError(code, text);
}

void AccountWidget::showError(int code, const QString &text)
{
    kLog.info(this) << qUtf8Printable(
        QStringLiteral("%1 error %2: %3")
            .arg(m_account.m_login, QString::number(code), text.section(QLatin1Char('\n'), 0, 0)));
    m_ui->errorLabel->setText(text);
    setStatus(kError);
}

void AccountWidget::setStatus(AccountStatus status)
{
    m_status = status;
    m_ui->statusLabel->setText(statusText(status));
    // Where the services are is shown only while they are there; the error only in the error
    // state (a later connection clears it).
    const bool connected = status == kConnected;
    m_ui->connectionTypeCaption->setVisible(connected);
    m_ui->connectionTypeLabel->setVisible(connected);
    m_ui->servicesCaption->setVisible(connected);
    m_ui->servicesLabel->setVisible(connected);
    m_ui->errorLabel->setVisible(status == kError);
    // The animation plays only while connecting, and costs nothing otherwise.
    const bool connecting = status == kConnecting;
    m_ui->connectingAnimationLabel->setVisible(connecting);
    if (connecting)
        m_connectingAnimation->start();
    else
        m_connectingAnimation->stop();
}
