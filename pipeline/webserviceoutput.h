#pragma once

#include "setoutput.h"
#include "webserviceclient.h"

class ApplicationSettings;

// Reports the set to the maker's web service: a session report when the set
// starts and stops, a track report for every track of the set. Who reports
// (the account's name and ID, the location) and which listeners are on are
// read afresh for every report; failures go to the event log.
class WebServiceOutput : public SetOutput
{
public:
    WebServiceOutput(WebServiceClient* client, const ApplicationSettings& settings,
                     const SetController& set, QString version);

    void setStarted(const SetController& set) override;
    void trackPlayed(const Track& track, const SetController& set) override;
    void setStopped(const SetController& set) override;

    // The session report as the start (true) or the stop (false) of a set.
    void sendSession(bool start);

private:
    WebServiceClient::Identity identity() const;

    WebServiceClient* m_client;
    const ApplicationSettings& m_settings;
    const SetController& m_set;
    QString m_version;
};
