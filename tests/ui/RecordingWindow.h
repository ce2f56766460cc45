#pragma once

#include "ui/UploadWindow.h"
#include <QElapsedTimer>

#include <QMap>
#include <QStringList>

#include <functional>

// Stands in for the operator window: keeps what the engine showed, and what it did in order.
class RecordingWindow : public UploadWindow
{
public:
    QStringList log;
    QList<double> logTimes; // seconds since the window was made, at which each line was added
    QElapsedTimer clock;
    int selected = -1;
    QList<LogColour> colours;
    double progressMax = 100;
    double progress = 0;
    QString status;
    QMap<Control, bool> enabled{{Control::LoadStart, false},
                                {Control::FirmwareFile, true},
                                {Control::EthernetAddress, true},
                                {Control::EthernetPort, true}};
    QString address;
    QString port;
    QString fileCaption;
    QMap<Mode, bool> checked{{Mode::Loop, false}, {Mode::Slow, false}, {Mode::Debug, false}};
    int clears = 0;
    // Called with each line as it is added, for tests that look at the window at that moment.
    std::function<void(const QString&)> onAppend;

    RecordingWindow() { clock.start(); }

    void appendLog(const QString& line) override
    {
        log.append(line);
        logTimes.append(double(clock.nsecsElapsed()) / 1e9);
        if (onAppend)
            onAppend(line);
    }
    void clearLog() override
    {
        log.clear();
        logTimes.clear();
        selected = -1;
        ++clears;
    }
    int logCount() const override { return int(log.size()); }
    void removeFirstLogLine() override
    {
        log.removeFirst();
        logTimes.removeFirst();
        if (selected >= 0)
            --selected;
    }
    int selectedLogIndex() const override { return selected; }
    void selectLogIndex(int index) override { selected = index; }
    void setLogColour(LogColour colour) override { colours.append(colour); }
    void setProgressMaximum(double maximum) override { progressMax = maximum; }
    double progressMaximum() const override { return progressMax; }
    void setProgressValue(double value) override { progress = value; }
    void setStatusText(const QString& text) override { status = text; }
    void setControlEnabled(Control control, bool on) override { enabled[control] = on; }
    QString ethernetAddress() const override { return address; }
    QString ethernetPort() const override { return port; }
    void setEthernetAddress(const QString& text) override { address = text; }
    void setEthernetPort(const QString& text) override { port = text; }
    void setFirmwareFileCaption(const QString& caption) override { fileCaption = caption; }
    bool isChecked(Mode mode) const override { return checked.value(mode); }
    void setChecked(Mode mode, bool on) override { checked[mode] = on; }

    bool allControlsEnabled() const
    {
        for (bool on : enabled)
            if (!on)
                return false;
        return true;
    }
    // Seconds at which the first line starting with `prefix` was added, or -1.
    double timeOf(const QString& prefix) const
    {
        for (qsizetype i = 0; i < log.size(); ++i)
            if (log.at(i).startsWith(prefix))
                return logTimes.at(i);
        return -1;
    }
    LogColour lastColour() const { return colours.isEmpty() ? LogColour::White : colours.last(); }
};
