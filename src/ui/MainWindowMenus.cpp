#include "ui/MainWindowMenus.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

namespace {

QMenu* addMenu(QMainWindow& window, const char* name, const char* caption)
{
    QMenu* menu = window.menuBar()->addMenu(QString::fromLatin1(caption));
    menu->setObjectName(QString::fromLatin1(name));
    menu->menuAction()->setObjectName(QString::fromLatin1(name) + QStringLiteral("Action"));
    return menu;
}

QAction* addItem(QMenu* menu, const char* name, const char* caption, bool checkable)
{
    QAction* action = menu->addAction(QString::fromLatin1(caption));
    action->setObjectName(QString::fromLatin1(name));
    action->setCheckable(checkable);
    return action;
}

} // namespace

MainWindowMenus MainWindowMenus::build(QMainWindow& window)
{
    MainWindowMenus m;
    m.mnuFile = addMenu(window, "mnuFile", "&File");
    m.mnuFileOpen = addItem(m.mnuFile, "mnuFileOpen", "&Open", false);
    m.mnuFileHistory = addItem(m.mnuFile, "mnuFileHistory", "&History...", false);
    m.mnuFileExit = addItem(m.mnuFile, "mnuFileExit", "E&xit", false);

    m.mnuTools = addMenu(window, "mnuTools", "&Tools");
    m.mnuLoop = addItem(m.mnuTools, "mnuLoop", "&Loop", true);
    m.mnuSlow = addItem(m.mnuTools, "mnuSlow", "&Slow", true);
    m.mnuDebug = addItem(m.mnuTools, "mnuDebug", "&Debug", true);
    m.mnuForget = addItem(m.mnuTools, "mnuForget", "Forget", false);
    return m;
}
