#pragma once

#include "engine/FirmwareCheck.h"

#include <QObject>
#include <QTimer>

#include <memory>

// Runs a FirmwareCheck on the event loop, a slice at a time, so that checking a large file keeps
// the window and every other update going. The first slice runs at once: a small file's result
// may come before start() returns.
class FirmwareCheckTask : public QObject
{
    Q_OBJECT
public:
    // The check reads this much at a time, between events.
    static constexpr qint64 Slice = 256 * 1024;

    FirmwareCheckTask(const QString& path, const QString& expectedSha256 = {}, QObject* parent = nullptr);

    void start();
    // No result comes after this.
    void stop();
    bool isRunning() const { return m_slices.isActive(); }

signals:
    void finished(const FirmwareCheckResult& result);

private:
    void slice();

    std::unique_ptr<FirmwareCheck> m_check;
    QTimer m_slices;
};
