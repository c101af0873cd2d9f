#pragma once

#include <QCommandLineParser>

class QCoreApplication;

// The options of a start. An unknown option or --help prints to the terminal
// and ends the process, before anything reaches a running instance.
class CommandLine
{
public:
    explicit CommandLine(const QCoreApplication& app);

    // Start in the tray, without the window (the autostart entry's start).
    bool hidden() const { return m_parser.isSet(m_hidden); }

private:
    QCommandLineParser m_parser;
    const QCommandLineOption m_hidden;
};
