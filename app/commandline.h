#pragma once

#include <QCommandLineParser>
#include <QString>

class QCoreApplication;

// The options of a start. An unknown option or --help prints to the terminal
// and ends the process, before anything reaches a running instance.
class CommandLine
{
public:
    explicit CommandLine(const QCoreApplication& app);

    // Start in the tray, without the window (the autostart entry's start).
    bool hidden() const { return m_parser.isSet(m_hidden); }

    // What this start asks of a running instance (one of instance_command's
    // messages): --start, --stop or --quit, otherwise to show the window.
    QString instanceCommand() const;

private:
    QCommandLineParser m_parser;
    const QCommandLineOption m_hidden;
    const QCommandLineOption m_start;
    const QCommandLineOption m_stop;
    const QCommandLineOption m_quit;
};
