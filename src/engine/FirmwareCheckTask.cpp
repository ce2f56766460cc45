#include "engine/FirmwareCheckTask.h"

FirmwareCheckTask::FirmwareCheckTask(const QString& path, const QString& expectedSha256, QObject* parent)
    : QObject(parent), m_check(std::make_unique<FirmwareCheck>(path, expectedSha256))
{
    connect(&m_slices, &QTimer::timeout, this, &FirmwareCheckTask::slice);
}

void FirmwareCheckTask::start()
{
    if (!m_check || m_slices.isActive())
        return;
    m_slices.start(0);
    slice();
}

void FirmwareCheckTask::stop()
{
    m_slices.stop();
    m_check.reset();
}

void FirmwareCheckTask::slice()
{
    if (!m_check || !m_check->step(Slice))
        return;
    m_slices.stop();
    const FirmwareCheckResult result = m_check->result();
    m_check.reset();
    emit finished(result);
}
