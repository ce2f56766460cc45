#pragma once

#include "HexFile.h"
#include "RawPeer.h"
#include "WaitUntil.h"

#include "engine/RecordRules.h"
#include "engine/UpdateJob.h"
#include "settings/ProductVariant.h"
#include "unitsim/FlashImage.h"
#include "unitsim/SimulatedUnit.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <functional>
#include <memory>

// Everything one update job emits, in order, with the program time of each line.
struct JobRecorder
{
    QStringList log;
    QList<bool> debugLines;
    QList<UpdateJob::Line> lineKinds;
    QList<double> times; // program seconds since the recorder was attached
    QStringList signalOrder;
    QList<UpdateJob::Phase> phases;
    QList<SocketStatus> states;
    QList<UpdateResult> results;
    qint64 lastBytes = -1;
    qint64 fileSize = -1;
    qint64 records = -1;
    QElapsedTimer clock;
    double scale = 1.0;

    void attach(UpdateJob& job)
    {
        scale = job.request().timings.scale;
        clock.start();
        QObject::connect(&job, &UpdateJob::logLine, &job,
                         [this](const QString& text, bool debug, UpdateJob::Line kind) {
                             log << text;
                             debugLines << debug;
                             lineKinds << kind;
                             times << now();
                             signalOrder << QStringLiteral("log");
                         });
        QObject::connect(&job, &UpdateJob::progress, &job, [this](qint64 bytes, qint64 size, qint64 sent) {
            lastBytes = bytes;
            fileSize = size;
            records = sent;
            signalOrder << QStringLiteral("progress");
        });
        QObject::connect(&job, &UpdateJob::phaseChanged, &job, [this](UpdateJob::Phase phase) {
            phases << phase;
            signalOrder << QStringLiteral("phase");
        });
        QObject::connect(&job, &UpdateJob::socketStatusChanged, &job, [this](const SocketStatus& state) {
            states << state;
            signalOrder << QStringLiteral("state");
        });
        QObject::connect(&job, &UpdateJob::socketError, &job,
                         [this](QAbstractSocket::SocketError, const QString&) {
                             signalOrder << QStringLiteral("socketError");
                         });
        QObject::connect(&job, &UpdateJob::finished, &job, [this](const UpdateResult& result) {
            results << result;
            signalOrder << QStringLiteral("finished");
        });
    }

    double now() const { return double(clock.nsecsElapsed()) / 1e9 / scale; }
    // Program seconds at which the first line that starts with prefix came, or -1.
    double timeOf(const QString& prefix) const
    {
        for (qsizetype i = 0; i < log.size(); ++i)
            if (log.at(i).startsWith(prefix))
                return times.at(i);
        return -1;
    }
    bool ended() const { return !results.isEmpty(); }
    UpdateResult result() const { return results.value(0); }
    QString tail(int lines = 8) const { return log.mid(log.size() - lines).join(QStringLiteral(" | ")); }
};

// An update job against a simulated unit on 127.0.0.1.
struct JobFixture
{
    explicit JobFixture(unitsim::Model model = unitsim::Model::Marlin,
                        const QString& productName = QStringLiteral("Marlin"))
        : product(productNamed(productName)), unit(model)
    {
        unit.listen(QHostAddress::LocalHost, 0);
    }

    static const ProductVariant* productNamed(const QString& name)
    {
        for (const ProductVariant& variant : ProductVariants::all())
            if (variant.modelName == name)
                return &variant;
        return nullptr;
    }

    QString writeFirmware(const QByteArray& contents, const QString& name = QStringLiteral("unit.hex"))
    {
        firmwarePath = dir.filePath(name);
        QFile file(firmwarePath);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(contents);
        return firmwarePath;
    }

    UpdateRequest request() const
    {
        UpdateRequest r;
        r.host = QStringLiteral("127.0.0.1");
        r.port = unit.port();
        r.firmwarePath = firmwarePath;
        r.product = product;
        r.debug = debug;
        r.slow = slow;
        r.timings.scale = scale;
        return r;
    }

    UpdateJob& start(const UpdateRequest& r)
    {
        job = std::make_unique<UpdateJob>(r);
        recorder = JobRecorder();
        recorder.attach(*job);
        job->start();
        return *job;
    }
    UpdateJob& start() { return start(request()); }

    // Starts an update and waits for its end.
    bool run(int timeoutMs = 20000) { return run(request(), timeoutMs); }
    bool run(const UpdateRequest& r, int timeoutMs = 20000)
    {
        start(r);
        return waitUntil([this] { return recorder.ended(); }, timeoutMs);
    }

    UpdateOutcome outcome() const { return recorder.result().outcome; }

    int messagesOfKind(unitsim::MessageKind kind) const
    {
        int n = 0;
        for (const auto& message : unit.report().cumulative().messages)
            n += message.kind == kind;
        return n;
    }

    // The image a unit should hold after these lines went out: everything but the skipped records.
    static unitsim::FlashImage expectedImage(const QList<QByteArray>& lines)
    {
        QList<QByteArray> sent;
        for (const QByteArray& line : lines)
            if (!line.trimmed().isEmpty() && RecordRules::skipReason(line) == RecordRules::Skip::None)
                sent.append(line);
        return unitsim::FlashImage::fromIntelHex(HexFile::join(sent, "\n"));
    }

    const ProductVariant* product;
    QTemporaryDir dir;
    QString firmwarePath;
    bool debug = false;
    bool slow = false;
    double scale = 0.02;
    unitsim::SimulatedUnit unit;
    std::unique_ptr<UpdateJob> job;
    JobRecorder recorder;
};
