#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// Tokens, passwords and the webhook URL: in the desktop's Secret Service
// (through QtKeychain) when one runs on the session bus, otherwise in the
// settings file, which is kept 0600. When a Secret Service runs it wins: a
// secret found in the settings file is moved into it and removed from the file.
//
// Lives on the GUI thread and never blocks it: the Secret Service may take its
// time (an unlock prompt), so reads and writes answer through callbacks.
class SecretStore : public QObject
{
    Q_OBJECT
public:
    enum class Place { SecretService, SettingsFile };
    using Values = QMap<QString, QString>;

    // Every secret FENK keeps, by its settings key (the X token pair included).
    static const QStringList& keys();
    static QString placeName(Place place);

    // secretServiceRuns answers whether a Secret Service runs, on a thread of
    // its own; by default it asks the session bus.
    explicit SecretStore(QObject* parent = nullptr,
                         std::function<bool()> secretServiceRuns = std::function<bool()>());
    ~SecretStore() override;

    // Where a secret written now goes. The session bus may hang (a stuck
    // daemon), so the look runs on a thread of its own and is waited for at
    // most a quarter of a second; without an answer by then the last one stands.
    Place place() const;

    // done gets every key (empty when absent) once all are read, unless context
    // is gone by then.
    void read(const QStringList& keys, QObject* context, std::function<void(Values)> done);
    // An empty value removes the secret. done says where it went.
    void write(const QString& key, const QString& value,
               std::function<void(Place)> done = std::function<void(Place)>());

    // How long one Secret Service request may take before it counts as failed.
    void setTimeout(int ms) { m_timeoutMs = ms; }

private:
    void readOne(const QString& key, std::function<void(QString)> done);
    void writeToService(const QString& key, const QString& value,
                        std::function<void(bool ok, QString error)> done);

    class Probe;

    int m_timeoutMs = 120000;
    std::unique_ptr<Probe> m_probe;
    mutable Place m_lastPlace = Place::SettingsFile;
};
