#pragma once

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QStringList>

// While it exists, answers the real PIN dialog with the queued PINs (cancel when
// none is left) and records its labels; the headless platform opens no browser.
class DesktopHooks : public QObject
{
public:
    DesktopHooks() { qApp->installEventFilter(this); }

    QStringList pins; // to enter, in order; an empty one cancels
    int shown = 0;
    QStringList texts;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const QPointer<QDialog> dialog = qobject_cast<QDialog*>(watched);
        if (event->type() != QEvent::Show || !dialog || dialog->windowTitle() != "FENK - PIN")
            return false;
        ++shown;
        for (const QLabel* label : dialog->findChildren<QLabel*>())
            texts.append(label->text());
        const QString pin = pins.isEmpty() ? QString() : pins.takeFirst();
        QMetaObject::invokeMethod(
            dialog,
            [dialog, pin] {
                dialog->findChild<QLineEdit*>()->setText(pin);
                pin.isEmpty() ? dialog->reject() : dialog->accept();
            },
            Qt::QueuedConnection);
        return false;
    }
};
