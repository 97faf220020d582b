#pragma once

#include <QByteArray>
#include <QString>

// The settings file on the disk, and the copy of its previous content that a save in place keeps
// first. A write counts only once the system has reported it on the disk: a sync that fails
// fails the save, and the previous file stays as it was. Bytes that cannot be read as settings
// are never overwritten before they have been kept elsewhere.
class SettingsFile
{
public:
    SettingsFile(const QString &path, const QString &copyPath);

    QString copyPath() const { return m_copyPath; }

    // The whole file; false when it is missing or cannot be read.
    bool read(QByteArray *content) const;
    // Replaces the file with the content: a new file renamed over the old one, or, where the folder
    // lets no file be made, the file rewritten in place after its previous content is kept in the
    // copy. False (and logged) when it failed, and always after a failed keepAside().
    bool save(const QByteArray &content);
    // Takes a damaged or unreadable file out of a save's way with its bytes kept: renamed beside
    // it, or, where its folder lets no file be made, copied beside the copy (a save then rewrites
    // it in place). False when it could not be kept; the file is then never overwritten.
    bool keepAside();
    // The copy's content when it reads as settings, else empty.
    QByteArray previousCopy() const;
    void discardCopy();

private:
    bool saveInPlace(const QByteArray &content);
    bool keepPreviousCopy(const QByteArray &previous);

    QString m_path;
    QString m_copyPath;
    // Set when a damaged file could not be kept aside: saving would destroy it.
    bool m_protected = false;
};
