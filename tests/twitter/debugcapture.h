#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

// Collects the debug output of every thread while it exists.
class DebugCapture
{
public:
    DebugCapture()
    {
        instance() = this;
        m_previous = qInstallMessageHandler(&DebugCapture::handler);
    }
    ~DebugCapture()
    {
        qInstallMessageHandler(m_previous);
        instance() = nullptr;
    }
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    QStringList lines() const
    {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }

    int count(const QString& prefix) const
    {
        int n = 0;
        for (const QString& line : lines())
            n += line.startsWith(prefix) ? 1 : 0;
        return n;
    }

private:
    static DebugCapture*& instance()
    {
        static DebugCapture* current = nullptr;
        return current;
    }
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (DebugCapture* self = instance()) {
            QMutexLocker lock(&self->m_mutex);
            self->m_lines.append(text);
        }
        if (type != QtDebugMsg && instance() && instance()->m_previous)
            instance()->m_previous(type, context, text);
    }

    mutable QMutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};
