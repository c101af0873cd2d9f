#include "overlayserver.h"

#include "overlaythread.h"
#include "setcontroller.h"

#include <QDir>
#include <QFile>

// Outside any namespace, as the resource's initialiser is a global function.
static void initOverlayResources()
{
    Q_INIT_RESOURCE(overlay);
}

OverlayThread::OverlayThread(int port, std::shared_ptr<overlay_feed> feed, std::string templatePath,
                             std::string defaultPage, const overlay_http_options& options,
                             QObject* parent)
    : AsioServerThread(port, "127.0.0.1", QStringLiteral("Overlay server"), parent),
      feed_(std::move(feed)), templatePath_(std::move(templatePath)),
      defaultPage_(std::move(defaultPage)), options_(options)
{}

OverlayThread::~OverlayThread()
{
    stop();
}

AsioServerThread::opened OverlayThread::open(boost::asio::io_context& service,
                                             const boost::asio::ip::tcp::endpoint& endpoint)
{
    const overlay_http_server server =
        open_overlay_http(service, endpoint, feed_, templatePath_, defaultPage_, options_);
    return {server.server, server.port};
}

QByteArray OverlayServer::defaultPage()
{
    initOverlayResources();
    QFile page(QStringLiteral(":/overlay/overlay.html"));
    return page.open(QIODevice::ReadOnly) ? page.readAll() : QByteArray();
}

OverlayServer::OverlayServer(const QString& dataFolder, QObject* parent,
                             overlay_http_options options)
    : QObject(parent), m_feed(std::make_shared<overlay_feed>())
{
    m_feed->publish("state", m_now.json().toStdString(), std::string());
    const QByteArray templatePath =
        QFile::encodeName(QDir(dataFolder).filePath(templateFileName()));
    m_thread = std::make_unique<OverlayThread>(m_settings.port, m_feed, templatePath.toStdString(),
                                               defaultPage().toStdString(), options);
    connect(m_thread.get(), &AsioServerThread::listening, this, [this](int port) {
        if (!m_settings.active || !m_thread->isRunning())
            return; // a run that has ended meanwhile
        m_port = port;
        setStatus(QStringLiteral("listening"), QStringLiteral("port %1").arg(port));
    });
    connect(m_thread.get(), &AsioServerThread::listenFailed, this, [this](const QString& error) {
        if (!m_settings.active)
            return;
        m_port = 0;
        setStatus(QStringLiteral("not listening"),
                  QStringLiteral("port %1: %2").arg(m_settings.port).arg(error));
    });
}

OverlayServer::~OverlayServer()
{
    m_thread->stop();
}

QString OverlayServer::address() const
{
    return m_port > 0 ? QStringLiteral("http://127.0.0.1:%1/").arg(m_port) : QString();
}

void OverlayServer::apply(const OverlaySettings& settings)
{
    const bool moved = settings.port != m_settings.port;
    const bool switched = settings.active != m_settings.active;
    m_settings = settings;
    m_now.setHidePattern(settings.hidePattern);
    m_feed->set_hold_seconds(qMax(0, settings.holdSeconds));
    if (!settings.active) {
        m_thread->stop();
        m_port = 0;
        setStatus(QStringLiteral("switched off"), QString());
    } else if (!m_applied || moved || switched || !m_thread->isRunning()) {
        m_port = 0;
        setStatus(QStringLiteral("starting"), QStringLiteral("port %1").arg(settings.port));
        m_thread->stop();
        m_thread->restart(settings.port); // only starts when the port changed
        if (!m_thread->isRunning())
            m_thread->start();
    }
    m_applied = true;
}

void OverlayServer::setStatus(const QString& state, const QString& detail)
{
    if (state == m_state && detail == m_detail)
        return;
    m_state = state;
    m_detail = detail;
    Q_EMIT statusChanged(state, detail);
}

void OverlayServer::publish(const char* event)
{
    m_feed->publish(event, m_now.json().toStdString(), m_now.text().toStdString());
}

void OverlayServer::setStarted(const SetController& set)
{
    m_now.start(set.startTime());
    publish("state");
}

void OverlayServer::trackPlayed(const Track& track, const SetController&)
{
    if (m_now.play(track))
        publish("track");
}

void OverlayServer::setStopped(const SetController&)
{
    m_now.stop();
    publish("state");
}
