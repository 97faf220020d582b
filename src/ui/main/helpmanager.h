#pragma once

#include <QObject>

// Keeps the help pages as plain files in "help_new" of the per-user data location, so the
// system browser can open them.
class HelpManager : public QObject
{
    Q_OBJECT
public:
    // The process-wide help manager; creating it rebuilds the help folder from the resources.
    static HelpManager *instance();

    QString helpDir() const { return m_helpDir; }

private:
    HelpManager();
    void rebuildHelp();

    QString m_helpDir;
};
