#include "station/RunRequest.h"

#include "fleet/UnitList.h"
#include "settings/ProductVariant.h"
#include "station/FirmwareStore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cmath>

namespace {

HttpResponse badRequest(const QString& code, const QString& message)
{
    return HttpResponse::error(400, code, message);
}

} // namespace

bool RunRequest::parse(const QByteArray& body, const ProductVariant* defaultProduct, RunRequest* request,
                       HttpResponse* error)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = badRequest(QStringLiteral("bad-json"), QStringLiteral("The body is no JSON: %1 at byte %2.")
                                                            .arg(parseError.errorString())
                                                            .arg(parseError.offset));
        return false;
    }
    if (!document.isObject()) {
        *error = badRequest(QStringLiteral("bad-json"), QStringLiteral("The body must be a JSON object."));
        return false;
    }
    const QJsonObject object = document.object();
    static const QSet<QString> known{QStringLiteral("firmware"), QStringLiteral("units"),
                                     QStringLiteral("product"), QStringLiteral("parallel")};
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (!known.contains(it.key())) {
            *error = badRequest(
                QStringLiteral("unknown-field"),
                QStringLiteral("Unknown member \"%1\"; a run takes firmware, units, product and parallel.")
                    .arg(it.key()));
            return false;
        }
    }

    const QJsonValue firmware = object.value(QStringLiteral("firmware"));
    if (!firmware.isString() || !FirmwareStore::isSha256(firmware.toString())) {
        *error =
            badRequest(QStringLiteral("bad-sha256"),
                       QStringLiteral("\"firmware\" must be the SHA-256 of a stored file (64 hex digits)."));
        return false;
    }
    request->firmware = firmware.toString().toLower();

    request->product = defaultProduct;
    if (object.contains(QStringLiteral("product"))) {
        const QJsonValue product = object.value(QStringLiteral("product"));
        request->product = product.isString() ? ProductVariants::named(product.toString()) : nullptr;
        if (!request->product) {
            *error = badRequest(
                QStringLiteral("bad-product"),
                QStringLiteral("\"product\" must be one of %1.").arg(ProductVariants::namesForCommandLine()));
            return false;
        }
    } else if (!request->product) {
        *error =
            badRequest(QStringLiteral("bad-product"),
                       QStringLiteral("This build is for no known product; name one in \"product\" (%1).")
                           .arg(ProductVariants::namesForCommandLine()));
        return false;
    }

    request->parallel = 0;
    if (object.contains(QStringLiteral("parallel"))) {
        const double parallel = object.value(QStringLiteral("parallel")).toDouble(-1);
        if (!object.value(QStringLiteral("parallel")).isDouble() || parallel < 1 || parallel > MaxUnits ||
            std::floor(parallel) != parallel) {
            *error =
                badRequest(QStringLiteral("bad-parallel"),
                           QStringLiteral("\"parallel\" must be a whole number from 1 to %1.").arg(MaxUnits));
            return false;
        }
        request->parallel = int(parallel);
    }

    const QJsonValue units = object.value(QStringLiteral("units"));
    if (!units.isArray() || units.toArray().isEmpty() || units.toArray().size() > MaxUnits) {
        *error = badRequest(
            QStringLiteral("bad-units"),
            QStringLiteral("\"units\" must be a list of 1 to %1 units (HOST[:PORT]).").arg(MaxUnits));
        return false;
    }
    UnitList list(request->product->hasConnectionDefaults ? request->product->defaultPort : QString());
    const QJsonArray array = units.toArray();
    for (const QJsonValue& unit : array) {
        QString reason;
        if (!unit.isString() || !list.addArgument(unit.toString(), &reason)) {
            *error = badRequest(QStringLiteral("bad-units"),
                                unit.isString()
                                    ? QStringLiteral("Unit \"%1\": %2")
                                          .arg(unit.toString(), reason.section(QStringLiteral(": "), 1))
                                    : QStringLiteral("Every unit must be a string (HOST[:PORT])."));
            return false;
        }
    }
    request->units = list.units();
    return true;
}
