#include "applicationsettings.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QVariant>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>
#include <type_traits>
#include <variant>

struct ApplicationSettings::Setting
{
    // A slash files the key under the group before it ("ableton/Port").
    const char* key;
    QVariant defaultValue;
    std::variant<bool ApplicationSettings::*, int ApplicationSettings::*,
                 QString ApplicationSettings::*>
        member;
    // Write-only values are saved, but always load their default.
    enum Mode { ReadWrite, WriteOnly } mode = ReadWrite;
};

// Every stored value once, in the order in which the store has always been
// read and written. A new value is one more row here, plus its getter and setter.
std::vector<ApplicationSettings::Setting> ApplicationSettings::table()
{
    using S = ApplicationSettings;
    return {
        {"StartMessage", QStringLiteral("is starting to play from:"), &S::m_startMessage},
        {"StopMessage", QStringLiteral("just finished playing from:"), &S::m_stopMessage},
        {"StartHashtag", QStringLiteral("#FENK"), &S::m_startHashtag},
        {"StopHashtag", QStringLiteral("#FENK"), &S::m_stopHashtag},
        {"PlayingMessage", QStringLiteral("is now playing \u266B"), &S::m_playingMessage},
        {"ActiveTwitter", true, &S::m_activeTwitter},
        {"LocationServices", false, &S::m_locationServices},
        {"CheckForUpdate", true, &S::m_checkForUpdateAtStart},
        {"ableton/Port", 8300, &S::m_abletonPort},
        {"ableton/MasterClip", false, &S::m_masterClip},
        {"icecast/Port", 8000, &S::m_icecastPort},
        // The Traktor listener cannot be switched off; whatever was stored is ignored.
        {"icecast/ListenerActive", true, &S::m_traktorListenerActive, Setting::WriteOnly},
        {"serato/ListenerActive", true, &S::m_seratoListenerActive},
        {"serato/Delay", 60, &S::m_seratoDelay},
        {"serato/SessionDir", defaultSessionDir(), &S::m_sessionDir},
        {"serato/DatabasePath", QString(), &S::m_seratoDatabasePath},
        {"userInfo/userName", QString(), &S::m_userName},
        {"userInfo/UID", QString(), &S::m_uid},
        {"PrefTabIndex", 0, &S::m_prefTabIndex},
        {"twitter/hashtagArtist", false, &S::m_hashtagArtist},
        {"twitter/hashtagTrack", false, &S::m_hashtagTrack},
    };
}

ApplicationSettings::ApplicationSettings(QObject* parent) : QObject(parent)
{
    protectStoreFile();
    load();
}

ApplicationSettings::~ApplicationSettings()
{
    // Destruction must complete even if the store misbehaves: the window is
    // going away and nothing could act on the error any more.
    try {
        save();
        m_store.sync();
        protectStoreFile();
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
    protectStoreFile();
}

void ApplicationSettings::protectStoreFile()
{
    const QString path = QSettings().fileName();
    if (path.isEmpty() || !QDir().mkpath(QFileInfo(path).path()))
        return;
    const QByteArray file = QFile::encodeName(path);
    const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        return;
    }
    struct stat status = {};
    if (::stat(file.constData(), &status) == 0 && (status.st_mode & 077) != 0 &&
        ::chmod(file.constData(), status.st_mode & 0700) != 0)
        qWarning() << "Cannot make the settings file private:" << path;
}

void ApplicationSettings::load()
{
    for (const Setting& s : table()) {
        const QVariant value = s.mode == Setting::WriteOnly
                                   ? s.defaultValue
                                   : m_store.value(QLatin1String(s.key), s.defaultValue);
        // A stored value that does not convert gives the conversion's own result
        // (0, false, empty), not the default: a port stored as letters loads as 0.
        std::visit(
            [this, &value](auto member) {
                using Value = std::decay_t<decltype(this->*member)>;
                this->*member = value.value<Value>();
            },
            s.member);
    }
}

void ApplicationSettings::save()
{
    for (const Setting& s : table()) {
        std::visit(
            [this, &s](auto member) {
                m_store.setValue(QLatin1String(s.key), QVariant::fromValue(this->*member));
            },
            s.member);
    }
}
