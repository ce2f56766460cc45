#pragma once

#include "HexFile.h"
#include "RecordingWindow.h"
#include "WaitUntil.h"

#include "Ethernet.h"
#include "SettingsStore.h"
#include "SimulatedUnit.h"
#include "Uploader.h"

#include <QFile>
#include <QTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// One uploader with a recording window, talking to a simulated unit on 127.0.0.1.
struct EngineFixture
{
    explicit EngineFixture(const QString& title = QStringLiteral("Marlin-ARC Firmware Uploader"),
                           unitsim::Model model = unitsim::Model::Marlin)
        : title(title), store(title), uploader(window, ethernet, store, title), unit(model),
          started(&uploader, &Uploader::updateStarted), finished(&uploader, &Uploader::updateFinished)
    {
        unit.listen(QHostAddress::LocalHost, 0);
        window.address = QStringLiteral("127.0.0.1");
        window.port = QString::number(unit.port());
    }

    QString writeFirmware(const QByteArray& contents, const QString& name = QStringLiteral("unit.hex"))
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(contents);
        file.close();
        uploader.setFirmwarePath(path);
        return path;
    }

    void setDebug(bool on) { window.checked[UploadWindow::Mode::Debug] = on; }

    // Presses Load and Start and waits until the update has finished (both paths).
    bool runUpdate(int timeoutMs = 20000)
    {
        const qsizetype before = finished.size();
        uploader.loadStart();
        return waitUntil([&] { return finished.size() > before && uploader.phase() == Uploader::Phase::Idle; },
                         timeoutMs);
    }

    bool lastSucceeded() const { return !finished.isEmpty() && finished.last().at(0).toBool(); }

    int messagesOfKind(unitsim::MessageKind kind) const
    {
        int n = 0;
        for (const auto& message : unit.report().cumulative().messages)
            n += message.kind == kind;
        return n;
    }

    QStringList unitMessageKinds() const
    {
        QStringList kinds;
        for (const auto& message : unit.report().cumulative().messages)
            kinds.append(unitsim::messageKindName(message.kind));
        return kinds;
    }

    QTemporaryDir dir;
    QString title;
    RecordingWindow window;
    Ethernet ethernet;
    SettingsStore store;
    Uploader uploader;
    unitsim::SimulatedUnit unit;
    QSignalSpy started;
    QSignalSpy finished;
};
