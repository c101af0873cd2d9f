#include "webserviceoutput.h"

#include "applicationsettings.h"
#include "eventlog.h"
#include "setcontroller.h"
#include "track.h"

WebServiceOutput::WebServiceOutput(WebServiceClient* client, const ApplicationSettings& settings,
                                   const SetController& set, QString version)
    : m_client(client), m_settings(settings), m_set(set), m_version(std::move(version))
{
    QObject::connect(
        client, &WebServiceClient::reportFailed, client,
        [](const QString& what, const QString& error) {
            event_log::write(
                QStringLiteral("Web service %1 failed: %2").arg(what, error).toStdString(),
                event_log::warning, 1);
        });
}

WebServiceClient::Identity WebServiceOutput::identity() const
{
    return {m_settings.uid(), m_settings.userName(), m_set.location()};
}

void WebServiceOutput::setStarted(const SetController&)
{
    sendSession(true);
}

void WebServiceOutput::trackPlayed(const Track& track, const SetController&)
{
    m_client->sendTrack(identity(), track.artist, track.title);
}

void WebServiceOutput::setStopped(const SetController&)
{
    sendSession(false);
}

void WebServiceOutput::sendSession(bool start)
{
    m_client->sendSession(identity(), start, m_version,
                          WebServiceClient::listenerCode(m_settings.seratoListenerActive(),
                                                         m_settings.traktorListenerActive(),
                                                         m_settings.masterClip()));
}
