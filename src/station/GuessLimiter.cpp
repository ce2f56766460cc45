#include "station/GuessLimiter.h"

qint64 GuessLimiter::lockedFor(const QHostAddress& client, qint64 nowMs) const
{
    const auto found = m_tries.constFind(client);
    return found == m_tries.cend() ? 0 : std::max<qint64>(0, found->lockedUntil - nowMs);
}

bool GuessLimiter::wrong(const QHostAddress& client, qint64 nowMs)
{
    if (!m_tries.contains(client) && m_tries.size() >= MaxAddresses)
        forgetOld(nowMs);
    Tries& tries = m_tries[client];
    while (!tries.times.isEmpty() && tries.times.first() <= nowMs - WindowMs)
        tries.times.removeFirst();
    tries.times.append(nowMs);
    if (tries.times.size() <= MaxWrong)
        return false;
    tries.times.clear();
    tries.lockedUntil = nowMs + LockMs;
    return true;
}

void GuessLimiter::forgetOld(qint64 nowMs)
{
    m_tries.removeIf([&](const auto& item) {
        const Tries& tries = item.value();
        return tries.lockedUntil <= nowMs &&
               (tries.times.isEmpty() || tries.times.last() <= nowMs - WindowMs);
    });
    // Still full: every address tried within the window. The one whose last try is oldest goes.
    if (m_tries.size() >= MaxAddresses) {
        auto oldest = m_tries.begin();
        for (auto it = m_tries.begin(); it != m_tries.end(); ++it)
            if (it->times.value(it->times.size() - 1) < oldest->times.value(oldest->times.size() - 1))
                oldest = it;
        m_tries.erase(oldest);
    }
}
