#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into an ordinary QCoreApplication::quit(), so
// that a logout or a kill ends the event loop the way the tray's "Quit" does and
// the window still saves the settings on its way out. The handler itself only
// writes a byte to a pipe; the rest happens in the event loop.
class QuitOnSignal : public QObject
{
    Q_OBJECT
public:
    explicit QuitOnSignal(QObject* parent = nullptr);
    ~QuitOnSignal() override;

    // A signal arrived (possibly before the event loop ran, for example while
    // a dialog of the start-up was open).
    bool received() const { return m_received; }

Q_SIGNALS:
    void signalReceived(int signalNumber);

private:
    void readSignal();

    QSocketNotifier* m_notifier = nullptr;
    bool m_received = false;
};
