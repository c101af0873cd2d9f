#pragma once

#include "track.h"

#include <QDateTime>
#include <QDir>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <string>

class AdvancedSettings;
class ApplicationSettings;
class AsioServerThread;
class OggThread;
class OscThread;
class SeratoFileParser;
class StatusModel;

// The three listeners that feed the set: the broadcast listener and the OSC
// receiver on threads of their own, and the Serato watcher. It turns their
// reports into tracks for the set controller (trackReported), keeps their lines
// of the status area, and applies port changes, the same way for both ports.
class ListenerControl : public QObject
{
    Q_OBJECT
public:
    struct Config
    {
        int broadcastPort = 8000;
        int oscPort = 8300;
        // The IPv4 address both network listeners bind.
        std::string listenAddress = "127.0.0.1";
        QDir seratoSessionDirectory;
        // Whether the OSC line of the Preferences summary is shown ("Master Clip").
        bool oscShown = false;
        // The Serato listener's switch.
        bool seratoEnabled = true;

        // The stored ports and switches, and the deployment's listen address.
        static Config from(const ApplicationSettings& settings, const AdvancedSettings& advanced,
                           const QString& seratoSessionDirectory);
    };

    ListenerControl(const Config& config, StatusModel* status, QObject* parent = nullptr);
    // Stops both threads and the watcher.
    ~ListenerControl() override;

    // Starts both listener threads, at idle priority.
    void startListening();
    // Stops both threads; later port changes are only remembered.
    void stopListening();

    // A changed port replaces that listener's thread (also after a failed
    // listen: the new port may be free); an unchanged port does nothing.
    void setBroadcastPort(int port);
    void setOscPort(int port);
    void setOscShown(bool shown);

    // The Serato listener's switch in Preferences; while it is off, a set
    // starts no watcher.
    void setSeratoEnabled(bool enabled);
    // The Serato watcher runs from a set's start to its stop.
    void startSerato(const QString& databasePath, int delayMs);
    void stopSerato();

    // Tempo and clip show in the status area only while a set runs.
    void setSetRunning(bool running);

    // "Listening for OGG on port N\n" ... as the Preferences show it: what
    // really listens, or why not.
    QString preferencesSummary() const;

    OggThread* broadcastListener() const { return m_ogg; }
    OscThread* oscListener() const { return m_osc; }
    SeratoFileParser* seratoWatcher() const { return m_serato.get(); }

Q_SIGNALS:
    void trackReported(Track track);
    void summaryChanged(QString text);

private:
    struct Listening
    {
        int port = 0;     // the configured port
        int openPort = 0; // what the thread opened; 0 until it says
        QString error;    // why it does not listen; empty while it does
    };

    void createBroadcastListener();
    void createOscListener();
    // Resets state for a new thread and keeps it up to date with the thread's run.
    template <class Thread> void watch(Thread* thread, Listening& state);
    // Replaces the listener's thread with one made by create on the new port.
    template <class Thread>
    void setPort(int port, Listening& state, Thread*& thread, void (ListenerControl::*create)());
    void sourceChanged(const QString& mount, const QString& client, const QDateTime& since);
    // A listener's line while it does not listen, yet or at all; false once it does.
    bool showNotListening(const QString& key, const Listening& state);
    void showBroadcast();
    void showSerato(const QString& text);
    void showOsc();
    void scheduleOscLine();
    void listenersChanged();

    StatusModel* m_status;
    std::string m_listenAddress;
    OggThread* m_ogg = nullptr;
    OscThread* m_osc = nullptr;
    std::unique_ptr<SeratoFileParser> m_serato;
    Listening m_oggState;
    Listening m_oscState;
    struct Source
    {
        QString client;
        QDateTime since;
    };
    QMap<QString, Source> m_sources; // by mount
    bool m_oscShown = false;
    bool m_stopped = true;
    bool m_setRunning = false;
    bool m_seratoEnabled = false;
    int m_seratoDelayMs = 0;
    QString m_tempo;
    QString m_clip;
    QTimer m_oscLineTimer;
};
