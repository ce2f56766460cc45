#include "station/RunRequest.h"

#include "fleet/UnitList.h"
#include "settings/ProductVariant.h"
#include "station/FirmwareStore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cmath>

StationResult<RunRequest> RunRequest::parse(const QByteArray& body, const ProductVariant* defaultProduct)
{
    using enum StationError::Code;
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return StationError(BadJson, QStringLiteral("The body is no JSON: %1 at byte %2.")
                                         .arg(parseError.errorString())
                                         .arg(parseError.offset));
    if (!document.isObject())
        return StationError(BadJson, QStringLiteral("The body must be a JSON object."));
    const QJsonObject object = document.object();
    RunRequest request;
    static const QSet<QString> known{QStringLiteral("firmware"), QStringLiteral("units"),
                                     QStringLiteral("product"), QStringLiteral("parallel")};
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (!known.contains(it.key()))
            return StationError(
                UnknownField,
                QStringLiteral("Unknown member \"%1\"; a run takes firmware, units, product and parallel.")
                    .arg(it.key()));
    }

    const QJsonValue firmware = object.value(QStringLiteral("firmware"));
    if (!firmware.isString() || !FirmwareStore::isSha256(firmware.toString()))
        return StationError(
            BadSha256, QStringLiteral("\"firmware\" must be the SHA-256 of a stored file (64 hex digits)."));
    request.firmware = firmware.toString().toLower();

    request.product = defaultProduct;
    if (object.contains(QStringLiteral("product"))) {
        const QJsonValue product = object.value(QStringLiteral("product"));
        request.product = product.isString() ? ProductVariants::named(product.toString()) : nullptr;
        if (!request.product)
            return StationError(
                BadProduct,
                QStringLiteral("\"product\" must be one of %1.").arg(ProductVariants::namesForCommandLine()));
    } else if (!request.product) {
        return StationError(
            BadProduct, QStringLiteral("This build is for no known product; name one in \"product\" (%1).")
                            .arg(ProductVariants::namesForCommandLine()));
    }

    request.parallel = 0;
    if (object.contains(QStringLiteral("parallel"))) {
        const double parallel = object.value(QStringLiteral("parallel")).toDouble(-1);
        if (!object.value(QStringLiteral("parallel")).isDouble() || parallel < 1 || parallel > MaxUnits ||
            std::floor(parallel) != parallel)
            return StationError(
                BadParallel,
                QStringLiteral("\"parallel\" must be a whole number from 1 to %1.").arg(MaxUnits));
        request.parallel = int(parallel);
    }

    const QJsonValue units = object.value(QStringLiteral("units"));
    if (!units.isArray() || units.toArray().isEmpty() || units.toArray().size() > MaxUnits)
        return StationError(
            BadUnits,
            QStringLiteral("\"units\" must be a list of 1 to %1 units (HOST[:PORT]).").arg(MaxUnits));
    UnitList list(request.product->hasConnectionDefaults ? request.product->defaultPort : QString());
    const QJsonArray array = units.toArray();
    for (const QJsonValue& unit : array) {
        QString reason;
        if (!unit.isString() || !list.addArgument(unit.toString(), &reason))
            return StationError(
                BadUnits, unit.isString() ? QStringLiteral("Unit \"%1\": %2")
                                                .arg(unit.toString(), reason.section(QStringLiteral(": "), 1))
                                          : QStringLiteral("Every unit must be a string (HOST[:PORT])."));
    }
    request.units = list.units();
    return request;
}
