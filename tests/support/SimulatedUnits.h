#pragma once

#include "ClosedPort.h"

#include "unitsim/Fault.h"
#include "unitsim/SimulatedUnit.h"

#include <QHostAddress>
#include <QString>

#include <memory>

// Simulated Marlin units for the tests, served by the test's own event loop on a loopback address,
// port 0.
namespace SimulatedUnits {

// A listening unit with an optional fault in unitsim's text form ("refuse:02@5"); nullptr when it
// cannot listen on that address (a machine without IPv6 loopback).
inline std::unique_ptr<unitsim::SimulatedUnit> listening(const QString& fault = {},
                                                         const QHostAddress& on = QHostAddress::LocalHost)
{
    auto unit = std::make_unique<unitsim::SimulatedUnit>(unitsim::Model::Marlin);
    if (!unit->listen(on, 0))
        return nullptr;
    if (!fault.isEmpty())
        unit->addFault(*unitsim::Fault::parse(fault));
    return unit;
}

// "127.0.0.1:PORT": how the unit is named on uploader-cli's command line and in its output.
inline QString address(const unitsim::SimulatedUnit& unit)
{
    return QStringLiteral("127.0.0.1:%1").arg(unit.port());
}

using ::closedPort;

} // namespace SimulatedUnits
