#pragma once

#include <QApplication>
#include <QLockFile>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>

class QLocalServer;

// A widgets application of which one instance runs per user and program file.
// The first instance holds a lock file and listens on a local socket beside it;
// a later start finds the lock taken and hands its message to the first. The
// lock is tied to the holder's process id, so the files a crashed instance left
// behind never block the next start.
class QtSingleApplication : public QApplication
{
    Q_OBJECT
public:
    QtSingleApplication(int& argc, char** argv, bool GUIenabled = true);
    ~QtSingleApplication() override;

    // True when another instance holds the lock.
    bool isRunning() const { return m_otherInstanceRunning; }
    // Delivers text to the running instance; true once that instance accepted it.
    bool sendMessage(const QString& message, int timeout = 5000);
    void setActivationWindow(QWidget* window, bool activateOnMessage = true);
    QWidget* activationWindow() const { return m_activationWindow; }

    static constexpr int maxMessageBytes = 64 * 1024;

public Q_SLOTS:
    void activateWindow();

Q_SIGNALS:
    void messageReceived(const QString& message);

private:
    void initialize(const QString& appId);
    void receiveConnection();

    QString m_socketPath;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
    bool m_otherInstanceRunning = false;
    QPointer<QWidget> m_activationWindow;
    bool m_activateOnMessage = false;
};
