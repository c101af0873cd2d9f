#pragma once

#include <QString>
#include <QtGlobal>

#include <mutex>
#include <vector>

// Collects the debug output of every thread while it exists.
class DebugCapture
{
public:
    DebugCapture()
    {
        const std::lock_guard<std::mutex> lock(mutex());
        current() = this;
        m_previous = qInstallMessageHandler(&DebugCapture::handler);
    }
    ~DebugCapture()
    {
        const std::lock_guard<std::mutex> lock(mutex());
        qInstallMessageHandler(m_previous);
        current() = nullptr;
    }
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    int count(const QString& line) const
    {
        const std::lock_guard<std::mutex> lock(mutex());
        int n = 0;
        for (const QString& l : m_lines)
            n += l == line ? 1 : 0;
        return n;
    }

private:
    // std types, so that ThreadSanitizer sees the locking (Qt is not instrumented).
    static std::mutex& mutex()
    {
        static std::mutex m;
        return m;
    }
    static DebugCapture*& current()
    {
        static DebugCapture* c = nullptr;
        return c;
    }
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        const std::lock_guard<std::mutex> lock(mutex());
        if (DebugCapture* self = current()) {
            self->m_lines.push_back(text);
            if (type != QtDebugMsg && self->m_previous)
                self->m_previous(type, context, text);
        }
    }

    std::vector<QString> m_lines;
    QtMessageHandler m_previous = nullptr;
};
