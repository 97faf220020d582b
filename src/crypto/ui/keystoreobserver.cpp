#include "crypto/ui/keystoreobserver.h"

#include "log/logger.h"

namespace {
const Log::Logger kLog("KeystoreObserver");
}

KeystoreObserver *KeystoreObserver::instance()
{
    // Built once, on the first call, under the guard the language gives function-local statics.
    static KeystoreObserver observer;
    return &observer;
}

void KeystoreObserver::setParentWidgetForDialogs(QWidget *parent)
{
    kLog.trace(this) << Q_FUNC_INFO << parent;
    m_parentWidget = parent;
}
