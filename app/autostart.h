#pragma once

#include <QByteArray>
#include <QString>

// The XDG autostart entry that starts FENK hidden in the tray when the DJ logs
// in. The entry's presence is the setting: nothing else is stored, so removing
// the file by hand (or with the desktop's own tools) turns it off as well.
class Autostart
{
public:
    // The installed menu entry's name; the autostart entry carries the same one.
    static QString desktopFileName() { return QStringLiteral("fm.fenk.FENK.desktop"); }
    // "$XDG_CONFIG_HOME/autostart", by default "~/.config/autostart".
    static QString folder();

    // program: the executable the entry starts, by default the running one.
    explicit Autostart(QString program = QString());

    QString entryPath() const;
    bool isEnabled() const;
    // Writes or removes the entry; false (with a warning) if that failed, for
    // example because the program's path cannot be written into an entry.
    bool setEnabled(bool enabled);

    // The entry's text, or nothing when the program's path cannot be quoted.
    QByteArray entry() const;

private:
    QString m_program;
};
