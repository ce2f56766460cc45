#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>

class QTcpSocket;

namespace unitsim {

// Writes the unit's replies in order, each after its own delay. With no delay and nothing
// queued a reply is written at once, inside the caller, so a zero-latency unit answers within
// the same readyRead handling. Delays run on a precise QTimer, so they have 1 ms granularity:
// a sub-millisecond delay is rounded up to 1 ms.
//
// A flood streams any amount of data under TCP flow control: a chunk is added only while the
// socket's write buffer holds less than kFloodThreshold bytes, so that buffer stays below
// kFloodThreshold plus one chunk however slowly the peer reads. Items queued after a flood wait
// until the OS has taken all of it.
class ReplyWriter : public QObject
{
    Q_OBJECT
public:
    using Done = std::function<void()>;

    static constexpr qint64 kFloodThreshold = 64 * 1024;

    explicit ReplyWriter(QTcpSocket* socket, QObject* parent = nullptr);

    // `splitGap` > 0 writes the bytes one per write, that far apart. `done` runs once the (last)
    // write has been made; never if the connection is gone by then.
    void send(const QByteArray& bytes, std::chrono::microseconds delay,
              std::chrono::microseconds splitGap = std::chrono::microseconds::zero(), Done done = {});
    // Streams `head` and then `pattern` over and over, `total` bytes in all (0 = until the
    // connection closes). `done` runs once the OS has taken the whole stream.
    void flood(const QByteArray& head, const QByteArray& pattern, qint64 total,
               std::chrono::microseconds delay, Done done = {});
    // Closes after everything queued before it; `abortive` resets instead of closing orderly.
    void close(bool abortive, std::chrono::microseconds delay);

    // A flood is running or waiting in the queue.
    bool hasFlood() const;
    bool isFlooding() const { return m_flood.active; }

signals:
    void written(const QByteArray& bytes);
    void floodStarted();
    // `bytes` more of the flood were taken by the OS.
    void floodSent(qint64 bytes);
    // Bytes waiting in the socket's write buffer right after a flood chunk was added.
    void floodBuffered(qint64 bytes);
    void floodFinished();
    void closed();

private:
    struct Item
    {
        enum class Action
        {
            Write,
            Flood,
            Close,
            Abort
        } action;
        QByteArray bytes; // Write: the bytes; Flood: the pattern
        std::chrono::microseconds delay;
        Done done;
        QByteArray head = {};
        qint64 total = 0;
    };

    struct Flood
    {
        bool active = false;
        QByteArray head;
        QByteArray pattern;
        qint64 total = 0;
        qint64 queued = 0;
        qint64 ahead = 0; // bytes written before the flood still in the socket's buffer at its start
        Done done;
    };

    void pump();
    void perform(const Item& item);
    void feedFlood();
    void onBytesWritten(qint64 bytes);

    QTcpSocket* m_socket;
    std::deque<Item> m_queue;
    QTimer m_timer;
    Flood m_flood;
    bool m_delayDone = false;
    bool m_pumping = false;
    bool m_closed = false;
};

} // namespace unitsim
