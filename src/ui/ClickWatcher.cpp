#include "ui/ClickWatcher.h"

#include <QMouseEvent>
#include <QWidget>

ClickWatcher::ClickWatcher(QObject* parent) : QObject(parent) {}

void ClickWatcher::watch(QWidget* widget)
{
    widget->installEventFilter(this);
}

bool ClickWatcher::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonRelease &&
        event->type() != QEvent::MouseButtonDblClick)
        return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget)
        return false;
    // Consumed here, so a click on a child (the file label) is not a click on its frame as well.
    if (!widget->isEnabled())
        return true;
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (event->type() == QEvent::MouseButtonRelease && mouse->button() == Qt::LeftButton &&
        widget->rect().contains(mouse->position().toPoint()))
        emit clicked();
    return true;
}
