#include "setfilescontrols.h"

#include "desktop.h"
#include "eventlogfile.h"
#include "prefsdlg.h"
#include "setcontroller.h"
#include "setexport.h"
#include "setfiles.h"
#include "statusmodel.h"
#include "statusview.h"
#include "tracklistoutput.h"
#include "windowmenu.h"

#include <QAction>
#include <QBoxLayout>
#include <QClipboard>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTimer>

namespace {
QString tracksText(int tracks)
{
    return tracks == 1 ? SetFilesControls::tr("1 track")
                       : SetFilesControls::tr("%1 tracks").arg(tracks);
}
} // namespace

OverlayPrefsBox::OverlayPrefsBox(QWidget* parent)
    : QGroupBox(tr("Overlay and Now Playing"), parent), addressBtn(new QPushButton(this)),
      copiedLbl(new QLabel(this)), nowPlayingLbl(new ElidingLabel(this))
{
    setObjectName(QStringLiteral("overlayGroupBox"));
    addressBtn->setObjectName(QStringLiteral("overlayAddressBtn"));
    addressBtn->setFlat(true);
    addressBtn->setCursor(Qt::PointingHandCursor);
    addressBtn->setToolTip(tr("Click to copy the address for an OBS browser source"));
    copiedLbl->setEnabled(false); // a hint, in the muted colour
    nowPlayingLbl->setObjectName(QStringLiteral("nowPlayingPathLbl"));
    auto* address = new QHBoxLayout;
    address->addWidget(addressBtn);
    address->addWidget(copiedLbl);
    address->addStretch();
    auto* form = new QFormLayout(this);
    form->addRow(tr("Overlay:"), address);
    form->addRow(tr("Now playing file:"), nowPlayingLbl);
    connect(addressBtn, &QPushButton::clicked, this, [this] {
        QGuiApplication::clipboard()->setText(addressBtn->text());
        copiedLbl->setText(tr("copied"));
        QTimer::singleShot(3000, copiedLbl, [this] {
            if (addressBtn->isEnabled())
                copiedLbl->setText(tr("click to copy"));
        });
    });
}

void OverlayPrefsBox::showOverlay(const QString& address, const QString& state)
{
    addressBtn->setText(address.isEmpty() ? state : address);
    addressBtn->setEnabled(!address.isEmpty());
    copiedLbl->setText(address.isEmpty() ? QString() : tr("click to copy"));
}

void OverlayPrefsBox::showNowPlayingPath(const QString& path)
{
    nowPlayingLbl->setFullText(QDir::toNativeSeparators(path));
}

SetFilesControls::SetFilesControls(SetController& set, StatusModel& status,
                                   const TrackListOutput& trackList, WindowMenu& menu,
                                   PrefsDlg& prefs, QWidget* window)
    : m_set(set), m_status(status), m_window(window), m_prefs(&prefs),
      m_files(std::make_unique<SetFiles>(
          set, status, trackList.folder(), [&trackList] { return trackList.filePath(); },
          EventLogFile::defaultFolder())),
      m_box(new OverlayPrefsBox(prefs.mainTab))
{
    // Below the tracklist buttons, above the tab's closing spacer.
    if (auto* tab = qobject_cast<QBoxLayout*>(prefs.mainTab->layout()))
        tab->insertWidget(qMax(0, tab->count() - 1), m_box);
    // The form's fixed minimum sizes leave no room for the box.
    prefs.installEventFilter(this);
    fitPreferences();
    m_box->showNowPlayingPath(m_files->nowPlaying().path());
    connect(&m_files->overlay(), &OverlayServer::statusChanged, this,
            &SetFilesControls::showOverlay);
    connect(&prefs, &PrefsDlg::closeDlg, this, &SetFilesControls::applySettings);
    applySettings();

    // The tray menu shows these same two actions.
    m_exportActions = {menu.exportSetAction, menu.copyTrackListAction};
    connect(menu.exportSetAction, &QAction::triggered, this, &SetFilesControls::exportSet);
    connect(menu.copyTrackListAction, &QAction::triggered, this, &SetFilesControls::copyTrackList);
    connect(&set, &SetController::started, this, &SetFilesControls::updateActions);
    connect(&set, &SetController::trackPlayed, this, &SetFilesControls::updateActions);
    updateActions();
    connect(m_files.get(), &SetFiles::exportedByHand, this, &SetFilesControls::showExported);
    connect(m_files.get(), &SetFiles::exportByHandFailed, this, [this](const QString& error) {
        showBox(tr("The set could not be exported: %1").arg(error), QString());
    });
}

SetFilesControls::~SetFilesControls() = default;

// The tabs as they are when the dialog is shown (others may have been added
// since) decide its least size, never less than the form's own.
bool SetFilesControls::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Show && watched == m_prefs)
        fitPreferences();
    return QObject::eventFilter(watched, event);
}

void SetFilesControls::fitPreferences()
{
    QTabWidget* tabs = m_prefs->prefsTabWgt;
    tabs->setMinimumSize(tabs->minimumSize().expandedTo(tabs->minimumSizeHint()));
    m_prefs->setMinimumSize(m_prefs->minimumSize().expandedTo(m_prefs->minimumSizeHint()));
    m_prefs->resize(m_prefs->size().expandedTo(m_prefs->minimumSize()));
}

// The overlay's port and hide pattern are edited in the settings file; closing
// Preferences is when FENK takes them up again.
void SetFilesControls::applySettings()
{
    m_files->apply(OverlaySettings::read(QSettings()));
}

void SetFilesControls::showOverlay()
{
    const OverlayServer& overlay = m_files->overlay();
    if (m_box)
        m_box->showOverlay(overlay.address(),
                           overlay.detail().isEmpty()
                               ? overlay.state()
                               : overlay.state() + QStringLiteral(" \u2014 ") + overlay.detail());
}

void SetFilesControls::updateActions()
{
    for (QAction* action : qAsConst(m_exportActions))
        action->setEnabled(m_files->hasTracks());
}

void SetFilesControls::exportSet()
{
    if (m_files->hasTracks())
        m_files->exportSet();
}

void SetFilesControls::copyTrackList()
{
    if (!m_files->hasTracks())
        return;
    QGuiApplication::clipboard()->setText(SetExport::plainText(m_set.startTime(), m_set.history()));
    m_status.addLine(SetFiles::filesKey(), tr("Set files"));
    m_status.set(SetFiles::filesKey(), tr("copied"),
                 tr("%1 as text on the clipboard").arg(tracksText(m_set.history().size())));
}

void SetFilesControls::showExported(const QString& basePath, int tracks)
{
    const QFileInfo base(basePath);
    showBox(tr("The set's %1 exported to %2:")
                    .arg(tracksText(tracks), QDir::toNativeSeparators(base.path())) +
                QStringLiteral("\n\n%1.txt\n%1.cue\n%1.csv").arg(base.fileName()),
            base.path());
}

// Not modal: the window's Start/Stop stays at hand while it is open.
void SetFilesControls::showBox(const QString& text, const QString& folder)
{
    auto* box = new QMessageBox(folder.isEmpty() ? QMessageBox::Warning : QMessageBox::Information,
                                QStringLiteral("FENK"), text, QMessageBox::Close, m_window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (!folder.isEmpty()) {
        QPushButton* open = box->addButton(tr("Open Folder"), QMessageBox::ActionRole);
        connect(open, &QPushButton::clicked, box,
                [folder] { desktop::open(QUrl::fromLocalFile(folder)); });
    }
    box->setWindowModality(Qt::NonModal);
    box->show();
}
