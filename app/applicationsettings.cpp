#include "applicationsettings.h"

#include <QDebug>
#include <QDir>

#include <exception>

ApplicationSettings::ApplicationSettings(QObject* parent) : QObject(parent)
{
    load();
}

ApplicationSettings::~ApplicationSettings()
{
    // Destruction must complete even if the store misbehaves: the window is
    // going away and nothing could act on the error any more.
    try {
        save();
    } catch (const std::exception& e) {
        qWarning() << "Saving the settings failed:" << e.what();
    } catch (...) {
        qWarning() << "Saving the settings failed";
    }
}

QString ApplicationSettings::defaultSessionDir()
{
    return QDir::homePath() + QStringLiteral("/Music/_Serato_/History/Sessions/");
}

void ApplicationSettings::writeNow()
{
    save();
    m_store.sync();
}

void ApplicationSettings::load()
{
    QSettings& s = m_store;
    m_startMessage =
        s.value(QStringLiteral("StartMessage"), QStringLiteral("is starting to play from:"))
            .toString();
    m_stopMessage =
        s.value(QStringLiteral("StopMessage"), QStringLiteral("just finished playing from:"))
            .toString();
    m_startHashtag = s.value(QStringLiteral("StartHashtag"), QStringLiteral("#FENK")).toString();
    m_stopHashtag = s.value(QStringLiteral("StopHashtag"), QStringLiteral("#FENK")).toString();
    m_playingMessage =
        s.value(QStringLiteral("PlayingMessage"), QString::fromUtf8("is now playing \u266B"))
            .toString();
    m_activeTwitter = s.value(QStringLiteral("ActiveTwitter"), true).toBool();
    m_locationServices = s.value(QStringLiteral("LocationServices"), false).toBool();
    m_checkForUpdateAtStart = s.value(QStringLiteral("CheckForUpdate"), true).toBool();

    s.beginGroup(QStringLiteral("ableton"));
    m_abletonPort = s.value(QStringLiteral("Port"), 8300).toInt();
    m_masterClip = s.value(QStringLiteral("MasterClip"), false).toBool();
    s.endGroup();

    s.beginGroup(QStringLiteral("icecast"));
    m_icecastPort = s.value(QStringLiteral("Port"), 8000).toInt();
    // The Traktor listener cannot be switched off; whatever was stored is ignored.
    m_traktorListenerActive = true;
    s.endGroup();

    s.beginGroup(QStringLiteral("serato"));
    m_seratoListenerActive = s.value(QStringLiteral("ListenerActive"), true).toBool();
    m_seratoDelay = s.value(QStringLiteral("Delay"), 60).toInt();
    m_sessionDir = s.value(QStringLiteral("SessionDir"), defaultSessionDir()).toString();
    s.endGroup();

    m_userName = s.value(QStringLiteral("userInfo/userName"), QString()).toString();
    m_uid = s.value(QStringLiteral("userInfo/UID"), QString()).toString();
    m_prefTabIndex = s.value(QStringLiteral("PrefTabIndex"), 0).toInt();
    m_hashtagArtist = s.value(QStringLiteral("twitter/hashtagArtist"), false).toBool();
    m_hashtagTrack = s.value(QStringLiteral("twitter/hashtagTrack"), false).toBool();
}

void ApplicationSettings::save()
{
    QSettings& s = m_store;
    s.setValue(QStringLiteral("StartMessage"), m_startMessage);
    s.setValue(QStringLiteral("StopMessage"), m_stopMessage);
    s.setValue(QStringLiteral("StartHashtag"), m_startHashtag);
    s.setValue(QStringLiteral("StopHashtag"), m_stopHashtag);
    s.setValue(QStringLiteral("PlayingMessage"), m_playingMessage);
    s.setValue(QStringLiteral("ActiveTwitter"), m_activeTwitter);
    s.setValue(QStringLiteral("LocationServices"), m_locationServices);
    s.setValue(QStringLiteral("CheckForUpdate"), m_checkForUpdateAtStart);

    s.beginGroup(QStringLiteral("ableton"));
    s.setValue(QStringLiteral("Port"), m_abletonPort);
    s.setValue(QStringLiteral("MasterClip"), m_masterClip);
    s.endGroup();

    s.beginGroup(QStringLiteral("icecast"));
    s.setValue(QStringLiteral("Port"), m_icecastPort);
    s.setValue(QStringLiteral("ListenerActive"), m_traktorListenerActive);
    s.endGroup();

    s.beginGroup(QStringLiteral("serato"));
    s.setValue(QStringLiteral("ListenerActive"), m_seratoListenerActive);
    s.setValue(QStringLiteral("Delay"), m_seratoDelay);
    s.setValue(QStringLiteral("SessionDir"), m_sessionDir);
    s.endGroup();

    s.setValue(QStringLiteral("userInfo/userName"), m_userName);
    s.setValue(QStringLiteral("userInfo/UID"), m_uid);
    s.setValue(QStringLiteral("PrefTabIndex"), m_prefTabIndex);
    s.setValue(QStringLiteral("twitter/hashtagArtist"), m_hashtagArtist);
    s.setValue(QStringLiteral("twitter/hashtagTrack"), m_hashtagTrack);
}
