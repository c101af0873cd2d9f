#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

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

    explicit SecretStore(QObject* parent = nullptr);

    // Where a secret written now goes.
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

    int m_timeoutMs = 120000;
};
