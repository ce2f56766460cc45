#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>

class QTcpSocket;

namespace unitsim {

// Writes the unit's replies in order, each after its own delay. With no delay and nothing
// queued a reply is written at once, inside the caller, so a zero-latency unit answers within
// the same readyRead handling. Delays run on a precise QTimer, so they have 1 ms granularity:
// a sub-millisecond delay is rounded up to 1 ms.
class ReplyWriter : public QObject
{
    Q_OBJECT
public:
    explicit ReplyWriter(QTcpSocket* socket, QObject* parent = nullptr);

    // `splitGap` > 0 writes the bytes one per write, that far apart.
    void send(const QByteArray& bytes, std::chrono::microseconds delay,
              std::chrono::microseconds splitGap = std::chrono::microseconds::zero());
    // Closes after everything queued before it; `abortive` resets instead of closing orderly.
    void close(bool abortive, std::chrono::microseconds delay);

signals:
    void written(const QByteArray& bytes);
    void closed();

private:
    struct Item
    {
        enum class Action { Write, Close, Abort } action;
        QByteArray bytes;
        std::chrono::microseconds delay;
    };

    void pump();
    void perform(const Item& item);

    QTcpSocket* m_socket;
    std::deque<Item> m_queue;
    QTimer m_timer;
    bool m_delayDone = false;
    bool m_pumping = false;
    bool m_closed = false;
};

} // namespace unitsim
