#pragma once

#include <QPointer>
#include <QWidget>

// Answers the key managers' requests with the key dialogs. Of that, it so far keeps the widget
// the dialogs are opened over. Process-wide; use it from the GUI thread.
class KeystoreObserver
{
public:
    static KeystoreObserver *instance();

    KeystoreObserver(const KeystoreObserver &) = delete;
    KeystoreObserver &operator=(const KeystoreObserver &) = delete;

    // The parent of the key dialogs. Held guarded: once that widget is destroyed, the dialogs
    // have no parent (null) instead of a dangling one.
    void setParentWidgetForDialogs(QWidget *parent);
    QWidget *parentWidgetForDialogs() const { return m_parentWidget; }

private:
    KeystoreObserver() = default;

    QPointer<QWidget> m_parentWidget;
};
