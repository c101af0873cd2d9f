#include "tracklistcontrols.h"

#include "prefsdlg.h"
#include "servicechecks.h"
#include "tracklistoutput.h"

#include <QMessageBox>
#include <QStandardPaths>

TrackListControls::TrackListControls(TrackListOutput& trackList, PrefsDlg& prefs,
                                     ServiceChecks& boxes, QObject* parent)
    : QObject(parent), m_trackList(trackList), m_prefs(prefs)
{
    connect(&trackList, &TrackListOutput::copyFailed, this,
            [&boxes](const QString& folder, const QString& error) {
                // The DJ pressed the button and waits for the file: say why it is not there.
                boxes.showInformation(
                    tr("The tracklist could not be copied to %1: %2").arg(folder, error),
                    QMessageBox::Close);
            });
}

// One click must not empty the running set's tracklist: ask first.
void TrackListControls::clear()
{
    const QString file = m_trackList.fileName();
    if (file.isEmpty())
        return;
    auto* box =
        new QMessageBox(QMessageBox::Question, QStringLiteral("FENK"),
                        tr("Clear the tracklist of the running set? %1 tracks will be removed.")
                            .arg(m_trackList.trackCount()),
                        QMessageBox::Yes | QMessageBox::No, &m_prefs);
    box->setDefaultButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // The set may have ended, or another begun, while the question was open.
    connect(box, &QMessageBox::finished, this, [this, file](int answer) {
        if (answer == QMessageBox::Yes && m_trackList.fileName() == file)
            m_trackList.clear();
    });
    box->open();
}

void TrackListControls::copyToDesktop()
{
    m_trackList.copyTo(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
}
