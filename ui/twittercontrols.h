#pragma once

#include <QObject>
#include <QString>

class ApplicationSettings;
class PrefsDlg;
class SetController;
class StatusModel;
class TwitClient;
struct Track;
namespace Ui {
class MainDlg;
}

// The window's side of the X account: the "Twitter" status line, the Test
// button with its result, and the PIN prompt that switching posting on brings
// when no token is stored. The manual message goes to every network
// (NetworkControls).
class TwitterControls : public QObject
{
    Q_OBJECT
public:
    TwitterControls(TwitClient& client, PrefsDlg& prefs, Ui::MainDlg& form, StatusModel& status,
                    const ApplicationSettings& settings, QObject* parent);

    // Follows the "Active" box.
    void activate();
    // Puts the now-playing text of track into the message field, unless the
    // DJ has started one there, and gives the field the focus.
    void prepareTrackMessage(const Track& track);

private:
    void testPost(const QString& text);
    void postFinished(quint64 id, bool sent, const QString& answer);
    void showAccount();

    TwitClient& m_client;
    PrefsDlg& m_prefs;
    Ui::MainDlg& m_form;
    StatusModel& m_status;
    const ApplicationSettings& m_settings;
    quint64 m_testPost = 0;
};
