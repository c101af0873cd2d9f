#include "qtsingleapplication.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>
#include <QWidget>

#include <memory>

namespace {

constexpr char acceptedReply = '\x06';

QString defaultAppId()
{
    // Two copies of the program in different places are different programs.
    return QCoreApplication::applicationFilePath();
}

QString runtimeFolder()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return folder;
}

QString socketPathFor(const QString& appId)
{
    const QByteArray hash =
        QCryptographicHash::hash(appId.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return runtimeFolder() + QStringLiteral("/fenk-single-") + QString::fromLatin1(hash);
}

} // namespace

QtSingleApplication::QtSingleApplication(int& argc, char** argv, bool GUIenabled)
    : QApplication(argc, argv, GUIenabled)
{
    initialize(defaultAppId());
}

QtSingleApplication::~QtSingleApplication() = default;

void QtSingleApplication::initialize(const QString& appId)
{
    m_socketPath = socketPathFor(appId);
    m_lock = std::make_unique<QLockFile>(m_socketPath + QStringLiteral(".lock"));
    // Only a dead holder makes the lock stale, never its age: a FENK that has
    // run for a week still owns it.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        m_otherInstanceRunning = m_lock->error() == QLockFile::LockFailedError;
        if (!m_otherInstanceRunning)
            qWarning() << "Single instance lock unusable:" << m_socketPath;
        return;
    }

    // We own the lock, so any socket file left there belongs to a dead instance.
    QLocalServer::removeServer(m_socketPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketPath)) {
        qWarning() << "Single instance server cannot listen:" << m_server->errorString();
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, &QtSingleApplication::receiveConnection);
}

bool QtSingleApplication::sendMessage(const QString& message, int timeout)
{
    const QByteArray payload = message.toUtf8();
    if (!m_otherInstanceRunning || payload.size() > maxMessageBytes)
        return false;
    const QDeadlineTimer deadline(timeout);
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return false;

    QByteArray frame;
    QDataStream(&frame, QIODevice::WriteOnly) << quint32(payload.size());
    frame.append(payload);
    socket.write(frame);
    if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
        return false;
    while (socket.bytesAvailable() < 1) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime())))
            return false;
    }
    return socket.read(1).at(0) == acceptedReply;
}

void QtSingleApplication::receiveConnection()
{
    QLocalSocket* socket = m_server->nextPendingConnection();
    if (!socket)
        return;
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // A peer gets a few seconds to say its message; a silent or oversized one is dropped.
    auto buffer = std::make_shared<QByteArray>();
    const auto readFrame = [this, socket, buffer] {
        buffer->append(socket->readAll());
        if (buffer->size() < 4)
            return;
        quint32 length = 0;
        QDataStream(*buffer) >> length;
        if (length > quint32(maxMessageBytes)) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        if (buffer->size() < int(4 + length))
            return;
        const QString message = QString::fromUtf8(buffer->mid(4, int(length)));
        buffer->clear();
        socket->write(QByteArray(1, acceptedReply));
        socket->flush();
        socket->disconnectFromServer();
        Q_EMIT messageReceived(message);
        if (m_activateOnMessage)
            activateWindow();
    };
    connect(socket, &QLocalSocket::readyRead, this, readFrame);
    QTimer::singleShot(5000, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    readFrame();
}

void QtSingleApplication::setActivationWindow(QWidget* window, bool activateOnMessage)
{
    m_activationWindow = window;
    m_activateOnMessage = activateOnMessage;
}

void QtSingleApplication::activateWindow()
{
    if (!m_activationWindow)
        return;
    m_activationWindow->setWindowState(m_activationWindow->windowState() & ~Qt::WindowMinimized);
    m_activationWindow->raise();
    m_activationWindow->activateWindow();
}
