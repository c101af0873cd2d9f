#pragma once

#include <QLabel>
#include <QMap>
#include <QPointer>
#include <QWidget>

class QGridLayout;
class StatusModel;

// A label that shows as much of its text as fits, cutting in the middle
// (where a path's least telling part is), with the whole text as its tooltip.
// The first keep characters (a status line's verdict) are never cut while
// they fit; only what follows them is.
class ElidingLabel : public QLabel
{
    Q_OBJECT
public:
    explicit ElidingLabel(QWidget* parent = nullptr);
    void setFullText(const QString& text, int keep = 0);
    QString fullText() const { return m_text; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();

    QString m_text;
    int m_keep = 0;
};

// The window's status area: one row per line of a StatusModel, the source's
// name and then its state and detail.
class StatusView : public QWidget
{
    Q_OBJECT
public:
    explicit StatusView(QWidget* parent = nullptr);

    void setModel(const StatusModel* model);
    // Puts widget at the end of the line's row (the tracklist's "Open Folder").
    void setLineWidget(const QString& key, QWidget* widget);
    // The label showing a line, for tests and screenshots.
    ElidingLabel* label(const QString& key) const { return m_labels.value(key); }

private:
    void rebuild();
    void showLine(const QString& key);

    const StatusModel* m_model = nullptr;
    QGridLayout* m_grid;
    QMap<QString, ElidingLabel*> m_labels;
    QMap<QString, QLabel*> m_captions;
    QMap<QString, QPointer<QWidget>> m_lineWidgets;
};
