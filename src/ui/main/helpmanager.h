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
    // Removes the help folder with everything in it, then copies the pages of the resources into
    // a fresh one, so no page of an earlier version is left behind. Creating the manager does it
    // once.
    void rebuildHelp();

private:
    HelpManager();

    QString m_helpDir;
};
