#pragma once

#include "ui_prefsdlg.h"

#include <QDialog>

class QCloseEvent;
class QShowEvent;

// The preferences window. It keeps almost no logic: the main window reads and
// writes its widgets; the dialog keeps its listener status line current, emits
// a test status text and announces when it is closed.
class PrefsDlg : public QDialog, public Ui::PrefsDlg
{
    Q_OBJECT
public:
    explicit PrefsDlg(QWidget* parent = nullptr);

    static QString testMessage() { return QStringLiteral("just ran a test from FENK."); }
    // The folder the database chooser opens in, for the path the field holds.
    static QString databaseChooserFolder(const QString& current);

Q_SIGNALS:
    void sendTestMsg(QString);
    void closeDlg();
    // A listener switch or port was edited: whoever knows what really listens
    // may correct the status text the dialog has just written.
    void listenerSettingsChanged();

public Q_SLOTS:
    void testBegin();
    void onListenerStateChanged(bool);
    void onListenerPortChanged(int);
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void rebuildStatusText();

    bool m_closing = false;
};
