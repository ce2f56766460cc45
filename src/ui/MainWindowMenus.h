#pragma once

class QAction;
class QMainWindow;
class QMenu;

// The menu bar: File (Open, History..., Exit) and Tools (the Loop, Slow and Debug check items and Forget).
struct MainWindowMenus
{
    QMenu* mnuFile = nullptr;
    QAction* mnuFileOpen = nullptr;
    QAction* mnuFileHistory = nullptr;
    QAction* mnuFileExit = nullptr;
    QMenu* mnuTools = nullptr;
    QAction* mnuLoop = nullptr;
    QAction* mnuSlow = nullptr;
    QAction* mnuDebug = nullptr;
    QAction* mnuForget = nullptr;

    static MainWindowMenus build(QMainWindow& window);
};
