#include "statusview.h"

#include "statusmodel.h"

#include <QGridLayout>

ElidingLabel::ElidingLabel(QWidget* parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void ElidingLabel::setFullText(const QString& text, int keep)
{
    if (text == m_text && keep == m_keep)
        return;
    m_text = text;
    m_keep = qBound(0, keep, text.size());
    setToolTip(text);
    updateGeometry();
    elide();
}

// The label takes the room the layout gives it, but no less than its verdict
// needs, so that no window size can hide that.
QSize ElidingLabel::sizeHint() const
{
    return minimumSizeHint();
}

QSize ElidingLabel::minimumSizeHint() const
{
    const QString kept = m_text.left(m_keep);
    const int width = kept.isEmpty() ? 0 : fontMetrics().horizontalAdvance(kept + QChar(0x2026));
    return QSize(width, QLabel::minimumSizeHint().height());
}

void ElidingLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    elide();
}

void ElidingLabel::elide()
{
    const QFontMetrics metrics = fontMetrics();
    const int width = qMax(0, this->width());
    const QString kept = m_text.left(m_keep);
    const int keptWidth = metrics.horizontalAdvance(kept);
    if (metrics.horizontalAdvance(m_text) <= width || keptWidth >= width) {
        setText(metrics.elidedText(m_text, Qt::ElideRight, width));
        return;
    }
    setText(kept + metrics.elidedText(m_text.mid(m_keep), Qt::ElideMiddle, width - keptWidth));
}

StatusView::StatusView(QWidget* parent) : QWidget(parent), m_grid(new QGridLayout(this))
{
    m_grid->setContentsMargins(0, 0, 0, 0);
    m_grid->setHorizontalSpacing(6);
    m_grid->setVerticalSpacing(2);
    m_grid->setColumnStretch(1, 1);
}

void StatusView::setModel(const StatusModel* model)
{
    if (m_model != nullptr)
        disconnect(m_model, nullptr, this, nullptr);
    m_model = model;
    connect(m_model, &StatusModel::linesChanged, this, &StatusView::rebuild);
    connect(m_model, &StatusModel::lineChanged, this, &StatusView::showLine);
    rebuild();
}

void StatusView::setLineWidget(const QString& key, QWidget* widget)
{
    m_lineWidgets.insert(key, widget);
    rebuild();
}

void StatusView::rebuild()
{
    // Rows are few and change only when a network is switched on or off.
    for (QLabel* label : qAsConst(m_captions))
        delete label;
    for (QLabel* label : qAsConst(m_labels))
        delete label;
    m_captions.clear();
    m_labels.clear();
    if (m_model == nullptr)
        return;
    int row = 0;
    for (const QString& key : m_model->keys()) {
        auto* caption = new QLabel(this);
        auto* label = new ElidingLabel(this);
        label->setObjectName(key + QStringLiteral("StatusLbl"));
        m_captions.insert(key, caption);
        m_labels.insert(key, label);
        m_grid->addWidget(caption, row, 0);
        QWidget* extra = m_lineWidgets.value(key);
        m_grid->addWidget(label, row, 1, 1, extra != nullptr ? 1 : 2);
        if (extra != nullptr)
            m_grid->addWidget(extra, row, 2);
        showLine(key);
        ++row;
    }
}

void StatusView::showLine(const QString& key)
{
    ElidingLabel* label = m_labels.value(key);
    if (label == nullptr || m_model == nullptr)
        return;
    const StatusModel::Line line = m_model->line(key);
    m_captions.value(key)->setText(line.label + QLatin1Char(':'));
    // The verdict stays whole; the detail (a path, an error) gives way.
    label->setFullText(line.text(),
                       line.detail.isEmpty() ? 0 : line.text().size() - line.detail.size());
}
