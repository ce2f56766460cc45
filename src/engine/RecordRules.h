#pragma once

#include <QByteArray>

// Which lines of a HEX file are not sent. Positions count from 1 at the line's first character
// (the colon): 2-3 byte count, 4-7 load address, 8-9 record type, data from 10. Comparisons are
// exact and case-sensitive; a line too short for a range never matches it.
namespace RecordRules {

enum class Skip { None, NoData, BootCode };

// A 32-byte record whose data are all FF ("20" and 64 upper-case F) carries nothing to write.
bool isNoDataRecord(const QByteArray& line);
// Load addresses FC00-FCFF hold the boot code, which the unit keeps.
bool isBootCodeRecord(const QByteArray& line);
// NoData wins when both rules apply.
Skip skipReason(const QByteArray& line);
// Record type 01 (characters 8-9): the unit finishes the update when it gets this record.
bool isEndOfFileRecord(const QByteArray& line);
// Characters 4 to 7 (fewer for a short line).
QByteArray address(const QByteArray& line);

} // namespace RecordRules
