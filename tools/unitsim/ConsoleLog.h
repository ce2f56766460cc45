#pragma once

#include <QObject>
#include <QString>

namespace unitsim {

class SimulatedUnit;

// Prints one line per event of a SimulatedUnit to stdout, and a summary when a connection ends.
class ConsoleLog : public QObject
{
    Q_OBJECT
public:
    // `recordsEvery` > 0 prints a progress line every that many accepted records.
    ConsoleLog(SimulatedUnit* unit, int recordsEvery, QObject* parent = nullptr);

    void print(const QString& line);
    void printSummary(int connection);

private:
    void onMessage();

    SimulatedUnit* m_unit;
    int m_recordsEvery;
};

} // namespace unitsim
