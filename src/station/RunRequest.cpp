#include "station/RunRequest.h"

#include "fleet/UnitList.h"
#include "history/LineText.h"
#include "settings/ProductVariant.h"
#include "station/FirmwareStore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cmath>

namespace {

bool isWholeNumber(const QJsonValue& value, int low, int high)
{
    const double number = value.toDouble(-1);
    return value.isDouble() && number >= low && number <= high && std::floor(number) == number;
}

} // namespace

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
                                     QStringLiteral("product"),  QStringLiteral("parallel"),
                                     QStringLiteral("lot"),      QStringLiteral("retries")};
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (!known.contains(it.key()))
            return StationError(
                UnknownField,
                QStringLiteral(
                    "Unknown member \"%1\"; a run takes firmware, units, product, parallel, lot and retries.")
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
        const QJsonValue parallel = object.value(QStringLiteral("parallel"));
        if (!isWholeNumber(parallel, 1, MaxUnits))
            return StationError(
                BadParallel,
                QStringLiteral("\"parallel\" must be a whole number from 1 to %1.").arg(MaxUnits));
        request.parallel = parallel.toInt();
    }

    if (object.contains(QStringLiteral("retries"))) {
        const QJsonValue retries = object.value(QStringLiteral("retries"));
        if (!isWholeNumber(retries, 0, MaxRetries))
            return StationError(
                BadRetries,
                QStringLiteral("\"retries\" must be a whole number from 0 to %1.").arg(MaxRetries));
        request.retries = retries.toInt();
    }

    if (object.contains(QStringLiteral("lot"))) {
        const QJsonValue lot = object.value(QStringLiteral("lot"));
        request.lot = LineText::checked(lot.toString());
        if (!lot.isString() || request.lot.isEmpty())
            return StationError(BadLot,
                                QStringLiteral("\"lot\" must be printable text of 1 to %1 characters.")
                                    .arg(LineText::MaxLength));
    }

    const QJsonValue units = object.value(QStringLiteral("units"));
    if (!units.isArray() || units.toArray().isEmpty() || units.toArray().size() > MaxUnits)
        return StationError(
            BadUnits,
            QStringLiteral("\"units\" must be a list of 1 to %1 units (HOST[:PORT]).").arg(MaxUnits));
    UnitList list(request.product->hasConnectionDefaults ? request.product->defaultPort : QString());
    const QJsonArray array = units.toArray();
    for (const QJsonValue& unit : array) {
        // "HOST[:PORT]" or {"unit": "HOST[:PORT]", "serial": "..."}
        const QJsonObject entry = unit.toObject();
        const QJsonValue address = unit.isObject() ? entry.value(QStringLiteral("unit")) : unit;
        QString serial;
        if (unit.isObject()) {
            for (auto it = entry.constBegin(); it != entry.constEnd(); ++it)
                if (it.key() != QLatin1String("unit") && it.key() != QLatin1String("serial"))
                    return StationError(BadUnits, QStringLiteral("Unknown member \"%1\" of a unit; a unit "
                                                                 "takes unit and serial.")
                                                      .arg(it.key()));
            if (entry.contains(QStringLiteral("serial"))) {
                serial = LineText::checked(entry.value(QStringLiteral("serial")).toString());
                if (serial.isEmpty())
                    return StationError(BadSerial,
                                        QStringLiteral("Unit \"%1\": \"serial\" must be printable text of 1 "
                                                       "to %2 characters.")
                                            .arg(address.toString())
                                            .arg(LineText::MaxLength));
            }
        }
        QString reason;
        if (!address.isString() || !list.addArgument(address.toString(), &reason, serial))
            return StationError(BadUnits,
                                address.isString()
                                    ? QStringLiteral("Unit \"%1\": %2")
                                          .arg(address.toString(), reason.section(QStringLiteral(": "), 1))
                                    : QStringLiteral("Every unit must be a string (HOST[:PORT]) or an object "
                                                     "{\"unit\": HOST[:PORT], \"serial\": ...}."));
    }
    request.units = list.units();
    return request;
}
