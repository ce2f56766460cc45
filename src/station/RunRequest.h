#pragma once

#include "fleet/UnitEntry.h"
#include "station/StationResult.h"

#include <QByteArray>
#include <QList>
#include <QString>

struct ProductVariant;

// The body of POST /api/v1/runs, read strictly: an object with firmware (a SHA-256), units (a
// non-empty list of HOST[:PORT], as uploader-cli's --unit), product and parallel (both optional);
// any other member, a wrong type or a bad unit is an error.
struct RunRequest
{
    static constexpr int MaxUnits = 4096;
    static constexpr int MaxRetries = 10;

    QString firmware; // lower case
    QList<UnitEntry> units;
    const ProductVariant* product = nullptr;
    int parallel = 0;  // 0: all at once
    QString lot;       // of every unit, or empty
    int retries = 0;   // attempts more after a network fault
    QString startedBy; // the name of the token that asked for it; not in the body

    // defaultProduct: the build's (may be nullptr: then product must be given). What is wrong is
    // told by bad-json, unknown-field, bad-sha256, bad-product, bad-parallel, bad-retries, bad-lot,
    // bad-serial or bad-units.
    static StationResult<RunRequest> parse(const QByteArray& body, const ProductVariant* defaultProduct);
};
