#pragma once

#include "tracklistfile.h"

#include <QObject>
#include <QString>

#include <functional>

class QAbstractButton;
class QLineEdit;
class QWidget;
class WebServiceClient;

// The location lookup and the update check as the DJ sees them: the buttons
// are disabled while a request runs, the answers fill the location field or
// open a box, failures give the buttons back and say why.
class ServiceChecks : public QObject
{
    Q_OBJECT
public:
    struct Widgets
    {
        QLineEdit* locationEdit;
        QAbstractButton* refreshBtn;    // fills the location field
        QAbstractButton* checkLocatBtn; // only shows where the service thinks we are
        QAbstractButton* checkUpdBtn;
    };
    using LocationSink = std::function<void(const TrackListLocation&)>;

    ServiceChecks(WebServiceClient* service, Widgets widgets, QString webSiteHost,
                  LocationSink located, QWidget* parent);

    // sender: the button that asked, or null for the start-up check.
    void lookupLocation(const QObject* sender, bool fillField);
    void checkForUpdate(const QObject* sender);
    void locationFound(const QString& city, const QString& country, const QString& countryCode);
    void versionFound(const QString& version);
    // An information box titled "FENK" that does not block the window.
    void showInformation(const QString& text, int buttons, int defaultButton = 0);

private:
    void locationFailed(const QString& error);
    void versionFailed(const QString& error);
    void finishLocationLookup();

    WebServiceClient* m_service;
    Widgets m_ui;
    QString m_webSiteHost;
    LocationSink m_located;
    QWidget* m_parent;
    QString m_countryCode;
    bool manualLocationCheck = false;
    bool fillLocationField = false;
    bool manualUpdateCheck = false;
};
