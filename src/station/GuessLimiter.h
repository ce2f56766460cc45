#pragma once

#include <QHash>
#include <QHostAddress>
#include <QList>

// Makes guessing the token cost time: an address that sends more than MaxWrong wrong tokens within
// WindowMs is refused for LockMs. Memory stays bounded whatever the clients: at most MaxAddresses
// addresses are followed, those whose tries are old are forgotten first.
class GuessLimiter
{
public:
    static constexpr int MaxWrong = 10;
    static constexpr qint64 WindowMs = 60 * 1000;
    static constexpr qint64 LockMs = 60 * 1000;
    static constexpr int MaxAddresses = 16384;

    // How long that address is still refused; 0 when it may try.
    qint64 lockedFor(const QHostAddress& client, qint64 nowMs) const;
    // A wrong token came from that address; true when it is refused from now on.
    bool wrong(const QHostAddress& client, qint64 nowMs);

private:
    struct Tries
    {
        QList<qint64> times; // of the wrong tokens within the window, oldest first
        qint64 lockedUntil = 0;
    };

    void forgetOld(qint64 nowMs);
    QHash<QHostAddress, Tries> m_tries;
};
