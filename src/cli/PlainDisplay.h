#pragma once

#include <QObject>

class UpdateRunner;

// The human display when standard output is no terminal: a line per unit per phase change, the
// end of each update, then the summary table. No control characters.
class PlainDisplay : public QObject
{
    Q_OBJECT
public:
    PlainDisplay(UpdateRunner& runner, bool verbose, QObject* parent = nullptr);

    void writeSummary();

private:
    QString prefix(int unit) const;

    UpdateRunner& m_runner;
};
