#pragma once

#include "twitclient.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

// Stands in for the PIN dialog and the browser while it exists: answers the
// dialog with the queued answers (cancel when none is left) and records what
// would have been shown or opened.
class DesktopHooks
{
public:
    struct Answer
    {
        QString text;
        bool ok;
    };

    DesktopHooks()
    {
        TwitClient::DesktopHooks hooks;
        hooks.askPin = [this](const QString& title, const QString& label, bool* ok) {
            titles.append(title);
            labels.append(label);
            if (onAsk)
                onAsk();
            const Answer answer =
                answers.isEmpty() ? Answer{QString(), false} : answers.takeFirst();
            *ok = answer.ok;
            return answer.text;
        };
        hooks.openUrl = [this](const QUrl& url) { urls.append(url); };
        TwitClient::setDesktopHooks(hooks);
    }
    ~DesktopHooks() { TwitClient::setDesktopHooks({}); }
    DesktopHooks(const DesktopHooks&) = delete;
    DesktopHooks& operator=(const DesktopHooks&) = delete;

    QList<Answer> answers;
    QStringList titles;
    QStringList labels;
    QList<QUrl> urls;
    std::function<void()> onAsk;
};
