#pragma once

#include <QStringList>
#include <QtGlobal>

#include <mutex>
#include <vector>

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
        // A list of its own: Qt's shared containers look racy to ThreadSanitizer.
        const std::lock_guard<std::mutex> lock(m_mutex);
        QStringList copy;
        for (const QString& line : m_lines)
            copy.append(line);
        return copy;
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
            const std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_lines.push_back(text);
        }
        if (type != QtDebugMsg && instance() && instance()->m_previous)
            instance()->m_previous(type, context, text);
    }

    // A std::mutex, so that ThreadSanitizer sees the locking (Qt is not instrumented).
    mutable std::mutex m_mutex;
    std::vector<QString> m_lines;
    QtMessageHandler m_previous = nullptr;
};
