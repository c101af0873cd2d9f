#pragma once

#include "nowplaying.h"
#include "overlay_http.h"
#include "overlaysettings.h"
#include "setoutput.h"

#include <QObject>
#include <QString>

#include <memory>

class OverlayThread;

// The overlay for an OBS browser source: a small web server on 127.0.0.1 that
// serves a page showing the set's current track, the same as JSON and text, and
// an event stream that pushes each new track to the page as it is reported.
// Tracks the hide pattern keeps private never reach it.
//
// The server runs on a thread of its own; the set's tracks arrive here on the
// GUI thread and are handed over without waiting for any client.
class OverlayServer : public QObject, public SetOutput
{
    Q_OBJECT
public:
    // dataFolder: FENK's data folder, where a user's "overlay.html" replaces the
    // built-in page. Nothing listens before apply().
    explicit OverlayServer(const QString& dataFolder, QObject* parent = nullptr,
                           overlay_http_options options = {});
    ~OverlayServer() override;

    static QString templateFileName() { return QStringLiteral("overlay.html"); }
    // The built-in page.
    static QByteArray defaultPage();

    // Starts, stops or moves the server as the settings say; the hold time and
    // the hide pattern apply from the next track on.
    void apply(const OverlaySettings& settings);

    // "listening" (detail "port 8765"), "not listening" (detail: the port and
    // why), "starting" or "switched off".
    QString state() const { return m_state; }
    QString detail() const { return m_detail; }
    // The port listened on, 0 when none.
    int port() const { return m_port; }
    // "http://127.0.0.1:8765/" for the OBS browser source; empty when not listening.
    QString address() const;

    void setStarted(const SetController& set) override;
    void trackPlayed(const Track& track, const SetController& set) override;
    void setStopped(const SetController& set) override;

Q_SIGNALS:
    void statusChanged(QString state, QString detail);

private:
    void publish(const char* event);
    void setStatus(const QString& state, const QString& detail);

    std::shared_ptr<overlay_feed> m_feed;
    NowPlayingState m_now;
    OverlaySettings m_settings;
    bool m_applied = false;
    std::unique_ptr<OverlayThread> m_thread;
    QString m_state;
    QString m_detail;
    int m_port = 0;
};
