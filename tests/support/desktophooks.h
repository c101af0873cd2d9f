#pragma once

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QStringList>

#include <functional>

// While it exists, answers every PIN dialog the program shows with the queued
// answers (cancel when none is left), recording what it showed. The dialog is
// the real one; the headless platform opens no browser.
class DesktopHooks : public QObject
{
public:
    struct Answer
    {
        QString text;
        bool ok;
    };

    DesktopHooks() { qApp->installEventFilter(this); }

    QList<Answer> answers;
    QStringList titles;
    QStringList texts; // every label of every dialog shown
    std::function<void()> onAsk;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* dialog = qobject_cast<QDialog*>(watched);
        if (event->type() != QEvent::Show || !dialog ||
            dialog->windowTitle() != QLatin1String("FENK - PIN"))
            return false;
        titles.append(dialog->windowTitle());
        for (const QLabel* label : dialog->findChildren<QLabel*>())
            texts.append(label->text());
        if (onAsk)
            onAsk();
        const Answer answer = answers.isEmpty() ? Answer{QString(), false} : answers.takeFirst();
        QMetaObject::invokeMethod(
            dialog,
            [dialog = QPointer<QDialog>(dialog), answer] {
                if (!dialog)
                    return;
                dialog->findChild<QLineEdit*>()->setText(answer.text);
                if (answer.ok)
                    dialog->accept();
                else
                    dialog->reject();
            },
            Qt::QueuedConnection);
        return false;
    }
};
