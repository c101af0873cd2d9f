#include "listenercontrol.h"

#include "advancedsettings.h"
#include "applicationsettings.h"

#include "messanger.h"
#include "oggthread.h"
#include "oscthread.h"
#include "seratofileparser.h"
#include "statusmodel.h"

namespace {
const QString broadcastKey = QStringLiteral("broadcast");
const QString seratoKey = QStringLiteral("serato");
const QString oscKey = QStringLiteral("ableton");

// The tempo and clip lines follow a flood of OSC messages at this pace at most.
constexpr int oscLineIntervalMs = 250;

// The watcher's own words, with its verdict put first.
QPair<QString, QString> seratoLine(const QString& text)
{
    static const QString missing = QStringLiteral(" is missing");
    if (text.endsWith(missing))
        return {QStringLiteral("missing"), text.chopped(missing.size())};
    for (const QString& state : {QStringLiteral("watching"), QStringLiteral("reading")})
        if (text.startsWith(state + QLatin1Char(' ')))
            return {state, text.mid(state.size() + 1)};
    if (text == QLatin1String("stopped") || text.isEmpty())
        return {QStringLiteral("stopped"), QString()};
    return {QStringLiteral("error"), text};
}
} // namespace

ListenerControl::Config ListenerControl::Config::from(const ApplicationSettings& settings,
                                                      const AdvancedSettings& advanced,
                                                      const QString& seratoSessionDirectory)
{
    return {settings.icecastPort(),
            settings.abletonPort(),
            advanced.listenAddress().toStdString(),
            QDir(seratoSessionDirectory),
            settings.masterClip(),
            settings.seratoListenerActive()};
}

ListenerControl::ListenerControl(const Config& config, StatusModel* status, QObject* parent)
    : QObject(parent), m_status(status), m_listenAddress(config.listenAddress),
      m_serato(std::make_unique<SeratoFileParser>(config.seratoSessionDirectory)),
      m_oscShown(config.oscShown), m_seratoEnabled(config.seratoEnabled)
{
    m_oggState.port = config.broadcastPort;
    m_oscState.port = config.oscPort;
    m_status->addLine(broadcastKey, tr("Broadcast"));
    m_status->addLine(seratoKey, tr("Serato"));
    m_status->addLine(oscKey, tr("Ableton"));
    createBroadcastListener();
    createOscListener();

    connect(m_serato.get(), &SeratoFileParser::SeratoDataReady, this,
            [this](int deck, const QString& artist, const QString& title) {
                Q_EMIT trackReported(Track::serato(deck, artist, title,
                                                   QDateTime::currentDateTime(), m_seratoDelayMs));
            });
    connect(m_serato.get(), &SeratoFileParser::sourceStatusChanged, this,
            &ListenerControl::showSerato);
    m_oscLineTimer.setSingleShot(true);
    m_oscLineTimer.setInterval(oscLineIntervalMs);
    connect(&m_oscLineTimer, &QTimer::timeout, this, &ListenerControl::showOsc);

    showBroadcast();
    showSerato(QString());
    showOsc();
}

ListenerControl::~ListenerControl()
{
    stopListening();
    m_serato->stopWatching();
}

template <class Thread> void ListenerControl::watch(Thread* thread, Listening& state)
{
    state.openPort = 0;
    state.error.clear();
    // The thread is the receiver: a report of its run still queued when the
    // thread is replaced is discarded with it and cannot reach its successor.
    connect(thread, &AsioServerThread::listening, thread, [this, &state](int port) {
        state.openPort = port;
        state.error.clear();
        listenersChanged();
    });
    connect(thread, &AsioServerThread::listenFailed, thread, [this, &state](const QString& error) {
        state.openPort = 0;
        state.error = error.isEmpty() ? tr("unknown error") : error;
        listenersChanged();
    });
}

void ListenerControl::createBroadcastListener()
{
    ogg_server_options options;
    options.listen_address = m_listenAddress;
    m_ogg = new OggThread(m_oggState.port, this, options);
    m_sources.clear();
    watch(m_ogg, m_oggState);
    connect(&m_ogg->hub, QOverload<QString, QString, QString>::of(&Messanger::sendStat), m_ogg,
            [this](const QString& artist, const QString& title, const QString& mount) {
                Q_EMIT trackReported(
                    Track::broadcast(artist, title, mount, QDateTime::currentDateTime()));
            });
    connect(&m_ogg->hub, &Messanger::sourceChanged, m_ogg,
            [this](const QString& mount, const QString& client, const QDateTime& since) {
                sourceChanged(mount, client, since);
            });
}

void ListenerControl::createOscListener()
{
    osc_server_options options;
    options.listen_address = m_listenAddress;
    m_osc = new OscThread(m_oscState.port, this, options);
    watch(m_osc, m_oscState);
    connect(m_osc->hub, QOverload<QString>::of(&Messanger::sendStat), m_osc,
            [this](const QString& tempo) {
                m_tempo = tempo;
                scheduleOscLine();
            });
    connect(m_osc->hub, QOverload<QStringList>::of(&Messanger::sendStat), m_osc,
            [this](const QStringList& clip) {
                m_clip = clip.join(QStringLiteral(" / "));
                scheduleOscLine();
            });
}

void ListenerControl::startListening()
{
    m_stopped = false;
    m_ogg->start(QThread::IdlePriority);
    m_osc->start(QThread::IdlePriority);
    listenersChanged();
}

void ListenerControl::stopListening()
{
    m_stopped = true;
    m_ogg->stop();
    m_osc->stop();
}

template <class Thread>
void ListenerControl::setPort(int port, Listening& state, Thread*& thread,
                              void (ListenerControl::*create)())
{
    if (port == state.port)
        return;
    state.port = port;
    if (m_stopped)
        return;
    delete thread;
    (this->*create)();
    thread->start(QThread::IdlePriority);
    listenersChanged();
}

void ListenerControl::setBroadcastPort(int port)
{
    setPort(port, m_oggState, m_ogg, &ListenerControl::createBroadcastListener);
}

void ListenerControl::setOscPort(int port)
{
    setPort(port, m_oscState, m_osc, &ListenerControl::createOscListener);
}

void ListenerControl::setOscShown(bool shown)
{
    if (shown == m_oscShown)
        return;
    m_oscShown = shown;
    Q_EMIT summaryChanged(preferencesSummary());
}

void ListenerControl::setSeratoEnabled(bool enabled)
{
    m_seratoEnabled = enabled;
    showSerato(QString());
}

void ListenerControl::startSerato(const QString& databasePath, int delayMs)
{
    m_seratoDelayMs = delayMs;
    if (m_seratoEnabled) {
        m_serato->setDatabasePath(databasePath);
        m_serato->startWatching(delayMs);
    }
    showSerato(QString());
}

void ListenerControl::stopSerato()
{
    m_serato->stopWatching();
    showSerato(QString());
}

void ListenerControl::setSetRunning(bool running)
{
    m_setRunning = running;
    m_tempo.clear();
    m_clip.clear();
    showOsc();
}

QString ListenerControl::preferencesSummary() const
{
    const auto line = [](const char* what, const Listening& state) {
        const int port = state.openPort > 0 ? state.openPort : state.port;
        if (state.error.isEmpty())
            return QStringLiteral("Listening for %1 on port %2\n")
                .arg(QLatin1String(what))
                .arg(port);
        return QStringLiteral("Not listening for %1 on port %2: %3\n")
            .arg(QLatin1String(what))
            .arg(port)
            .arg(state.error);
    };
    QString text = line("OGG", m_oggState);
    if (m_oscShown)
        text += line("OSC", m_oscState);
    return text;
}

void ListenerControl::listenersChanged()
{
    showBroadcast();
    showOsc();
    Q_EMIT summaryChanged(preferencesSummary());
}

void ListenerControl::sourceChanged(const QString& mount, const QString& client,
                                    const QDateTime& since)
{
    if (client.isEmpty())
        m_sources.remove(mount);
    else
        m_sources.insert(mount, {client, since});
    showBroadcast();
}

bool ListenerControl::showNotListening(const QString& key, const Listening& state)
{
    if (!state.error.isEmpty())
        m_status->set(key, tr("not listening"), tr("port %1: %2").arg(state.port).arg(state.error));
    else if (state.openPort == 0)
        m_status->set(key, tr("starting"), tr("port %1").arg(state.port));
    else
        return false;
    return true;
}

void ListenerControl::showBroadcast()
{
    if (showNotListening(broadcastKey, m_oggState))
        return;
    if (m_sources.isEmpty()) {
        m_status->set(broadcastKey, tr("listening"), tr("port %1").arg(m_oggState.openPort));
    } else {
        // The source that came last is the one the DJ is looking for.
        auto latest = m_sources.cbegin();
        for (auto it = m_sources.cbegin(); it != m_sources.cend(); ++it)
            if (it->since > latest->since)
                latest = it;
        QString detail =
            tr("from %1 on %2 since %3")
                .arg(latest->client, latest.key(), latest->since.toString(QStringLiteral("HH:mm")));
        if (m_sources.size() > 1)
            detail += tr(" (and %n more)", nullptr, m_sources.size() - 1);
        m_status->set(broadcastKey, tr("receiving"), detail);
    }
}

void ListenerControl::showSerato(const QString& text)
{
    if (!m_seratoEnabled) {
        m_status->set(seratoKey, tr("off"), tr("switched off in Preferences"));
        return;
    }
    const auto [state, detail] = seratoLine(text.isEmpty() ? m_serato->sourceStatus() : text);
    m_status->set(seratoKey, state, detail);
}

void ListenerControl::scheduleOscLine()
{
    if (m_setRunning && !m_oscLineTimer.isActive())
        m_oscLineTimer.start();
}

void ListenerControl::showOsc()
{
    if (showNotListening(oscKey, m_oscState))
        return;
    QString detail = tr("port %1").arg(m_oscState.openPort);
    if (m_setRunning && !m_tempo.isEmpty()) {
        bool number = false;
        const double bpm = m_tempo.toDouble(&number);
        detail += tr(", tempo %1 BPM").arg(number ? QString::number(bpm, 'g', 6) : m_tempo);
    }
    if (m_setRunning && !m_clip.isEmpty())
        detail += tr(", clip %1").arg(m_clip);
    // The tempo may change many times a second: only the state goes to the log.
    m_status->set(oscKey, tr("listening"), detail, StatusModel::Logging::StateChanges);
}
