#include "statusmodel.h"

#include "eventlog.h"

QString StatusModel::Line::text() const
{
    if (detail.isEmpty())
        return state;
    if (state.isEmpty())
        return detail;
    return state + QStringLiteral(" \u2014 ") + detail;
}

StatusModel::StatusModel(QObject* parent) : QObject(parent)
{}

int StatusModel::indexOf(const QString& key) const
{
    for (int i = 0; i < m_lines.size(); ++i)
        if (m_lines.at(i).key == key)
            return i;
    return -1;
}

void StatusModel::addLine(const QString& key, const QString& label)
{
    const int index = indexOf(key);
    if (index >= 0) {
        if (m_lines[index].label != label) {
            m_lines[index].label = label;
            Q_EMIT lineChanged(key);
        }
        return;
    }
    m_lines.append({key, label, QString(), QString()});
    Q_EMIT linesChanged();
}

void StatusModel::removeLine(const QString& key)
{
    const int index = indexOf(key);
    if (index < 0)
        return;
    m_lines.remove(index);
    Q_EMIT linesChanged();
}

void StatusModel::set(const QString& key, const QString& state, const QString& detail,
                      Logging logging)
{
    int index = indexOf(key);
    if (index < 0) {
        addLine(key, key);
        index = m_lines.size() - 1;
    }
    Line& line = m_lines[index];
    if (line.state == state && line.detail == detail)
        return;
    const bool stateChanged = line.state != state;
    line.state = state;
    line.detail = detail;
    if (logging == Logging::Changes || stateChanged)
        event_log::write(QStringLiteral("Status %1: %2").arg(line.label, line.text()).toStdString(),
                         event_log::info, 1);
    Q_EMIT lineChanged(key);
}

StatusModel::Line StatusModel::line(const QString& key) const
{
    const int index = indexOf(key);
    return index >= 0 ? m_lines.at(index) : Line{key, key, QString(), QString()};
}

QStringList StatusModel::keys() const
{
    QStringList keys;
    for (const Line& line : m_lines)
        keys.append(line.key);
    return keys;
}
