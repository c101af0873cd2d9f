#pragma once

#include <QObject>

class PrefsDlg;
class ServiceChecks;
class TrackListOutput;

// The Preferences' tracklist buttons: "Clear" asks first and keeps the removed
// file beside the new one; "Copy to Desktop" says why a copy failed.
class TrackListControls : public QObject
{
    Q_OBJECT
public:
    TrackListControls(TrackListOutput& trackList, PrefsDlg& prefs, ServiceChecks& boxes,
                      QObject* parent);

    void clear();
    void copyToDesktop();

private:
    TrackListOutput& m_trackList;
    PrefsDlg& m_prefs;
};
