#pragma once

#include <QObject>

class QWidget;

// Turns a left-button click on a widget that has no click signal of its own (a label, a frame)
// into clicked(). A click on a disabled widget does nothing and does not reach its parent.
class ClickWatcher : public QObject
{
    Q_OBJECT
public:
    explicit ClickWatcher(QObject* parent = nullptr);

    void watch(QWidget* widget);

signals:
    void clicked();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
