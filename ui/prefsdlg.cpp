#include "prefsdlg.h"

#include "autostart.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>

PrefsDlg::PrefsDlg(QWidget* parent) : QDialog(parent)
{
    setupUi(this);
    activateHUDChBox->hide();
    connect(testAuthBtn, &QPushButton::clicked, this, &PrefsDlg::testBegin);
    connect(checkBoxMasterClip, &QCheckBox::toggled, this, &PrefsDlg::onListenerStateChanged);
    connect(icecastPortSpBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &PrefsDlg::onListenerPortChanged);
    connect(abeltonPortSpBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &PrefsDlg::onListenerPortChanged);
    // The autostart entry is the setting itself: written or removed at once.
    connect(startAtLoginChBox, &QAbstractButton::clicked, this, [this](bool enabled) {
        Autostart autostart;
        if (!autostart.setEnabled(enabled))
            startAtLoginChBox->setChecked(autostart.isEnabled());
    });
    startAtLoginChBox->setChecked(Autostart().isEnabled());
    // Close applies the edits, as closing the window does.
    connect(closeButtonBox, &QDialogButtonBox::rejected, this, &QWidget::close);
    connect(seratoDatabaseBrowseBtn, &QToolButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(
            this, QString(), databaseChooserFolder(seratoDatabasePath->text()),
            QStringLiteral("Serato database (*.sqlite);;All files (*)"));
        if (!path.isEmpty())
            seratoDatabasePath->setText(QDir::toNativeSeparators(path));
    });
}

QString PrefsDlg::databaseChooserFolder(const QString& current)
{
    // Where the file is, else where Serato keeps its library, else the music
    // or home folder: never the folder FENK happened to be started from.
    const QFileInfo chosen(current);
    if (!current.isEmpty() && chosen.dir().exists())
        return chosen.isDir() ? chosen.filePath() : chosen.path();
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    for (const QString& folder : {music + QStringLiteral("/_Serato_"), music})
        if (!music.isEmpty() && QFileInfo(folder).isDir())
            return folder;
    return QDir::homePath();
}

void PrefsDlg::testBegin()
{
    Q_EMIT sendTestMsg(testMessage());
}

void PrefsDlg::onListenerStateChanged(bool)
{
    rebuildStatusText();
}

void PrefsDlg::onListenerPortChanged(int)
{
    rebuildStatusText();
}

void PrefsDlg::rebuildStatusText()
{
    QString text;
    if (checkBoxTracktorProActivate->isChecked())
        text += QStringLiteral("Listening for OGG on port %1\n").arg(icecastPortSpBox->value());
    if (checkBoxMasterClip->isChecked())
        text += QStringLiteral("Listening for OSC on port %1\n").arg(abeltonPortSpBox->value());
    infoLbl->setText(text);
    Q_EMIT listenerSettingsChanged();
}

void PrefsDlg::showEvent(QShowEvent* event)
{
    // The entry may have been removed or added outside FENK since.
    startAtLoginChBox->setChecked(Autostart().isEnabled());
    QDialog::showEvent(event);
}

void PrefsDlg::closeEvent(QCloseEvent* event)
{
    m_closing = true;
    Q_EMIT closeDlg();
    QDialog::closeEvent(event);
    m_closing = false;
}

// Escape closes a dialog through reject() without a close event; the edits must
// still be applied then, so it counts as a close too.
void PrefsDlg::reject()
{
    if (!m_closing && isVisible())
        Q_EMIT closeDlg();
    QDialog::reject();
}
