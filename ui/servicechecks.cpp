#include "servicechecks.h"

#include "desktop.h"
#include "eventlog.h"
#include "versionnumber.h"
#include "webserviceclient.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QLineEdit>
#include <QMessageBox>

namespace {
void logEvent(int severity, const QString& text)
{
    event_log::write(text.toStdString(), severity, 1);
}
} // namespace

ServiceChecks::ServiceChecks(WebServiceClient* service, Widgets widgets, QString webSiteHost,
                             LocationSink located, QWidget* parent)
    : QObject(parent), m_service(service), m_ui(widgets), m_webSiteHost(std::move(webSiteHost)),
      m_located(std::move(located)), m_parent(parent)
{
    connect(service, &WebServiceClient::locationFailed, this, &ServiceChecks::locationFailed);
    connect(service, &WebServiceClient::versionFailed, this, &ServiceChecks::versionFailed);
}

void ServiceChecks::lookupLocation(const QObject* sender, bool fillField)
{
    if (sender == m_ui.checkLocatBtn)
        manualLocationCheck = true;
    else if (sender == m_ui.refreshBtn || fillField)
        fillLocationField = true;
    m_ui.refreshBtn->setEnabled(false);
    m_ui.locationEdit->setEnabled(false);
    m_ui.checkLocatBtn->setEnabled(false);
    m_service->lookupLocation();
}

void ServiceChecks::locationFound(const QString& city, const QString& country,
                                  const QString& countryCode)
{
    // A reply without a country code keeps the one known; city and country
    // always take the reply's values.
    if (!countryCode.isEmpty())
        m_countryCode = countryCode;
    m_located({city, country, m_countryCode});
    logEvent(event_log::info,
             QStringLiteral("Location: %1, %2 (%3)").arg(city, country, m_countryCode));
    if (manualLocationCheck)
        showInformation(tr("Based on the IP address we think you are in ") + city +
                            QStringLiteral(" ") + country,
                        QMessageBox::Close);
    else if (fillLocationField)
        m_ui.locationEdit->setText(city.isEmpty() || country.isEmpty()
                                       ? city + country
                                       : city + QStringLiteral(" ") + country);
    finishLocationLookup();
}

void ServiceChecks::locationFailed(const QString& error)
{
    logEvent(event_log::warning, QStringLiteral("Location lookup failed: ") + error);
    if (manualLocationCheck)
        showInformation(tr("The location lookup failed: ") + error, QMessageBox::Close);
    finishLocationLookup();
}

void ServiceChecks::finishLocationLookup()
{
    m_ui.refreshBtn->setEnabled(true);
    m_ui.locationEdit->setEnabled(true);
    m_ui.checkLocatBtn->setEnabled(true);
    manualLocationCheck = false;
    fillLocationField = false;
}

void ServiceChecks::checkForUpdate(const QObject* sender)
{
    if (sender == m_ui.checkUpdBtn)
        manualUpdateCheck = true;
    m_ui.checkUpdBtn->setEnabled(false);
    m_service->checkVersion();
}

void ServiceChecks::versionFound(const QString& version)
{
    const bool newer = VersionNumber::fromText(version).isNewerThan(
        VersionNumber::fromText(QCoreApplication::applicationVersion()));
    if (newer)
        showInformation(tr("New version is available.\nDo you want download it?"),
                        QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel);
    else if (manualUpdateCheck)
        showInformation(tr("No new version available."), QMessageBox::Ok);
    manualUpdateCheck = false;
    m_ui.checkUpdBtn->setEnabled(true);
}

void ServiceChecks::versionFailed(const QString& error)
{
    logEvent(event_log::warning, QStringLiteral("Update check failed: ") + error);
    if (manualUpdateCheck)
        showInformation(tr("The update check failed: ") + error, QMessageBox::Ok);
    manualUpdateCheck = false;
    m_ui.checkUpdBtn->setEnabled(true);
}

// Boxes open without a nested event loop: the listeners' reports keep flowing
// while a box waits for the DJ.
void ServiceChecks::showInformation(const QString& text, int buttons, int defaultButton)
{
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("FENK"), text,
                                QMessageBox::StandardButtons(buttons), m_parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (defaultButton != 0)
        box->setDefaultButton(QMessageBox::StandardButton(defaultButton));
    if (buttons & QMessageBox::Cancel) {
        connect(box, &QMessageBox::finished, this, [this](int result) {
            if (result == QMessageBox::Ok)
                desktop::open(QUrl(QStringLiteral("https://%1/").arg(m_webSiteHost)));
        });
    }
    box->open();
}
