#pragma once

#include <QGroupBox>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class ElidingLabel;
class PrefsDlg;
class QAction;
class QLabel;
class QPushButton;
class SetController;
class SetFiles;
class StatusModel;
class TrackListOutput;
class WindowMenu;

// The Preferences' box for streaming software: the overlay's address for an OBS
// browser source (a click copies it) and where the now-playing file is.
class OverlayPrefsBox : public QGroupBox
{
    Q_OBJECT
public:
    explicit OverlayPrefsBox(QWidget* parent = nullptr);

    // address empty: the overlay does not listen, and state says why.
    void showOverlay(const QString& address, const QString& state);
    void showNowPlayingPath(const QString& path);

    QPushButton* const addressBtn;
    QLabel* const copiedLbl;
    // A long path gives way in the middle; the whole of it is the tooltip.
    ElidingLabel* const nowPlayingLbl;
};

// The window's side of the set's files and the overlay: SetFiles after the
// tracklist; "Export set…" and "Copy tracklist" (the menu bar's, which the tray shows too),
// for the running set or, after Stop, the last one; the Preferences' box; the
// overlay's settings read again whenever Preferences close.
class SetFilesControls : public QObject
{
    Q_OBJECT
public:
    SetFilesControls(SetController& set, StatusModel& status, const TrackListOutput& trackList,
                     WindowMenu& menu, PrefsDlg& prefs, QWidget* window);
    ~SetFilesControls() override;

    SetFiles& files() { return *m_files; }
    OverlayPrefsBox* preferencesBox() const { return m_box; }

    // Writes the text, CUE and CSV files and says where in a box.
    void exportSet();
    // The set as "[mm:ss] Artist - Title" lines on the clipboard.
    void copyTrackList();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fitPreferences();
    void applySettings();
    void showOverlay();
    void updateActions();
    void showExported(const QString& basePath, int tracks);
    void showBox(const QString& text, const QString& folder);

    const SetController& m_set;
    StatusModel& m_status;
    QWidget* m_window;
    QPointer<PrefsDlg> m_prefs;
    std::unique_ptr<SetFiles> m_files;
    QPointer<OverlayPrefsBox> m_box;
    QList<QAction*> m_exportActions;
};
