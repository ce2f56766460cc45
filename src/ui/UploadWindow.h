#pragma once

#include <QString>

// What the window's side of an update needs of the operator window: the log list, the progress bar, the
// status line, the four controls an update disables, the connection boxes, the file label and the
// Tools check marks. The main window implements it; tests use a recording fake.
class UploadWindow
{
public:
    enum class LogColour { White, Green, Red };
    enum class Control { LoadStart, FirmwareFile, EthernetAddress, EthernetPort };
    enum class Mode { Loop, Slow, Debug };

    virtual ~UploadWindow() = default;

    virtual void appendLog(const QString& line) = 0;
    virtual void clearLog() = 0;
    virtual int logCount() const = 0;
    virtual void removeFirstLogLine() = 0;
    virtual int selectedLogIndex() const = 0; // -1 when nothing is selected
    virtual void selectLogIndex(int index) = 0; // also scrolls it into view
    virtual void setLogColour(LogColour colour) = 0;

    virtual void setProgressMaximum(double maximum) = 0;
    virtual double progressMaximum() const = 0;
    virtual void setProgressValue(double value) = 0;

    virtual void setStatusText(const QString& text) = 0;

    virtual void setControlEnabled(Control control, bool enabled) = 0;

    virtual QString ethernetAddress() const = 0;
    virtual QString ethernetPort() const = 0;
    virtual void setEthernetAddress(const QString& text) = 0;
    virtual void setEthernetPort(const QString& text) = 0;

    virtual void setFirmwareFileCaption(const QString& caption) = 0;

    virtual bool isChecked(Mode mode) const = 0;
    virtual void setChecked(Mode mode, bool checked) = 0;
};
