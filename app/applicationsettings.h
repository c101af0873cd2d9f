#pragma once

#include <QObject>
#include <QSettings>
#include <QString>

#include <vector>

// The program's preferences in memory: read from the per-user store when the
// object is built, written back only when it is destroyed.
class ApplicationSettings : public QObject
{
    Q_OBJECT
public:
    explicit ApplicationSettings(QObject* parent = nullptr);
    ~ApplicationSettings() override;

    bool activeTwitter() const { return m_activeTwitter; }
    bool hashtagArtist() const { return m_hashtagArtist; }
    bool hashtagTrack() const { return m_hashtagTrack; }
    bool locationServices() const { return m_locationServices; }
    bool checkForUpdateAtStart() const { return m_checkForUpdateAtStart; }
    bool masterClip() const { return m_masterClip; }
    bool traktorListenerActive() const { return m_traktorListenerActive; }
    bool seratoListenerActive() const { return m_seratoListenerActive; }
    int icecastPort() const { return m_icecastPort; }
    int abletonPort() const { return m_abletonPort; }
    int seratoDelay() const { return m_seratoDelay; }
    QString sessionDir() const { return m_sessionDir; }
    QString seratoDatabasePath() const { return m_seratoDatabasePath; }
    QString startMessage() const { return m_startMessage; }
    QString stopMessage() const { return m_stopMessage; }
    QString startHashtag() const { return m_startHashtag; }
    QString stopHashtag() const { return m_stopHashtag; }
    QString playingMessage() const { return m_playingMessage; }
    QString userName() const { return m_userName; }
    QString uid() const { return m_uid; }
    int prefTabIndex() const { return m_prefTabIndex; }

    void setActiveTwitter(bool value) { m_activeTwitter = value; }
    void setHashtagArtist(bool value) { m_hashtagArtist = value; }
    void setHashtagTrack(bool value) { m_hashtagTrack = value; }
    void setLocationServices(bool value) { m_locationServices = value; }
    void setCheckForUpdateAtStart(bool value) { m_checkForUpdateAtStart = value; }
    void setMasterClip(bool value) { m_masterClip = value; }
    void setTraktorListenerActive(bool value) { m_traktorListenerActive = value; }
    void setSeratoListenerActive(bool value) { m_seratoListenerActive = value; }
    void setIcecastPort(int value) { m_icecastPort = value; }
    void setAbletonPort(int value) { m_abletonPort = value; }
    void setSeratoDelay(int value) { m_seratoDelay = value; }
    void setSessionDir(QString value) { m_sessionDir = std::move(value); }
    void setSeratoDatabasePath(QString value) { m_seratoDatabasePath = std::move(value); }
    void setStartMessage(QString value) { m_startMessage = std::move(value); }
    void setStopMessage(QString value) { m_stopMessage = std::move(value); }
    void setStartHashtag(QString value) { m_startHashtag = std::move(value); }
    void setStopHashtag(QString value) { m_stopHashtag = std::move(value); }
    void setPlayingMessage(QString value) { m_playingMessage = std::move(value); }
    void setUserName(QString value) { m_userName = std::move(value); }
    void setUid(QString value) { m_uid = std::move(value); }
    void setPrefTabIndex(int value) { m_prefTabIndex = value; }

    static QString defaultSessionDir();

    // The store may hold tokens (when no Secret Service runs): its file is
    // created 0600 and brought back to 0600 after every write. QSettings keeps
    // a file's permissions through its atomic rewrite, but gives a new file the
    // umask's (0644), readable by anyone who can enter the home folder.
    static void protectStoreFile();

    // Writes every value to the store at once, as destruction does, so that a
    // crash later in the run keeps what the DJ has confirmed.
    void writeNow();

private:
    // One row of the table of every stored value: key, default and member.
    struct Setting;
    static std::vector<Setting> table();

    void load();
    void save();

    QSettings m_store;
    // Filled from the table in the constructor; the defaults live there only.
    bool m_activeTwitter{};
    bool m_hashtagArtist{};
    bool m_hashtagTrack{};
    bool m_locationServices{};
    bool m_checkForUpdateAtStart{};
    bool m_masterClip{};
    bool m_traktorListenerActive{};
    bool m_seratoListenerActive{};
    int m_icecastPort{};
    int m_abletonPort{};
    int m_seratoDelay{};
    QString m_sessionDir;
    QString m_seratoDatabasePath;
    QString m_startMessage;
    QString m_stopMessage;
    QString m_startHashtag;
    QString m_stopHashtag;
    QString m_playingMessage;
    QString m_userName;
    QString m_uid;
    int m_prefTabIndex{};
};
