#include "station/StationOptions.h"

#include "engine/HostPortText.h"
#include "settings/ProductVariant.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QHostInfo>
#include <QUrl>

namespace {

// The first folder systemd's StateDirectory= gave the service, or empty outside systemd.
QString systemdStateDir()
{
    return qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0);
}

} // namespace

HistoryLocation StationOptions::historyLocation() const
{
    if (history.isEmpty() && qEnvironmentVariable("UPLOADER_HISTORY").isEmpty() &&
        !systemdStateDir().isEmpty())
        return HistoryLocation::sqliteFile(
            QDir(systemdStateDir()).filePath(QStringLiteral("history.sqlite")));
    HistoryLocation location = HistoryLocation::resolve(history);
    // A shared history's journal lives with the station's state, which survives its restarts.
    if (!stateDir.isEmpty())
        location.setJournalFile(QDir(stateDir).filePath(QStringLiteral("journal.sqlite")));
    return location;
}

QString StationOptions::defaultStateDir()
{
    const QString systemd = systemdStateDir();
    if (!systemd.isEmpty())
        return systemd;
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::home().filePath(QStringLiteral(".local/state"));
    return QDir(base).filePath(QStringLiteral("uploader-station"));
}

StationOptionsParser::StationOptionsParser(const ProductVariant* buildProduct, QString buildTitle)
    : m_buildProduct(buildProduct), m_buildTitle(std::move(buildTitle))
{
}

QString StationOptionsParser::helpText(const ProductVariant* buildProduct)
{
    QString text = QStringLiteral(
        "Usage: uploader-station [options]\n"
        "The unattended update station: an HTTP API and a page to upload firmware files and update\n"
        "many units at once.\n"
        "\n"
        "  --listen HOST:PORT            where to listen (default 127.0.0.1:8470; [IPV6]:PORT; port 0\n"
        "                                picks a free one, printed on standard output)\n"
        "  --state-dir DIR               token and firmware store (default %1)\n"
        "  --server-name NAME            another name clients may use in Host (repeatable)\n"
        "  --tls-cert FILE --tls-key FILE  HTTPS with this PEM certificate and key\n"
        "  --max-firmware-size SIZE      largest firmware upload (default 64M; K, M, G allowed)\n"
        "  --idle-timeout S              close a connection idle this many seconds (default 30)\n"
        "  --max-connections N           connections at once (default 256)\n"
        "  --max-connections-per-client N  from one address (default 32)\n"
        "  --product NAME                the runs' default product (default: %2)\n"
        "  --history URL                 the update history: an SQLite file or\n"
        "                                postgresql://USER@HOST:PORT/DATABASE (default: $UPLOADER_HISTORY,\n"
        "                                else %3)\n"
        "  --history-required            do not start when the history cannot be written (exit 2)\n"
        "  --fixtures FILE               the line's fixtures, one NAME HOST[:PORT] a line\n"
        "  --fixture-gone-after S        a watched fixture is empty again once nothing has answered\n"
        "                                there for S seconds (default 3)\n"
        "  --allowed-signers FILE        run only firmware signed by a key in this OpenSSH\n"
        "                                allowed-signers file (namespace \"firmware\")\n"
        "  --revoked-keys FILE           keys revoked since (a list ssh-keygen -r reads)\n"
        "  --webhook URL                 POST every finished update as JSON to this http or https\n"
        "                                URL (repeatable)\n"
        "  --webhook-secret-file FILE    sign each webhook body with HMAC-SHA256 keyed by this file\n");
#ifdef UPLOADER_STATION_TIME_SCALE
    text += QStringLiteral("  --time-scale F                test build: real time = program time x F\n");
#endif
    text += QStringLiteral("  -h, --help                    this text\n"
                           "  --version                     the version\n"
                           "\n"
                           "The station's named tokens (see the manual page, ACCESS):\n"
                           "  uploader-station token add NAME --role admin|operator [--state-dir DIR]\n"
                           "  uploader-station token list [--state-dir DIR]\n"
                           "  uploader-station token revoke NAME [--state-dir DIR]\n");
    const QString defaultHistory = systemdStateDir().isEmpty()
                                       ? HistoryLocation::defaultFile()
                                       : QDir(systemdStateDir()).filePath(QStringLiteral("history.sqlite"));
    return text.arg(StationOptions::defaultStateDir(),
                    buildProduct ? buildProduct->modelName : QStringLiteral("none: runs must name one"),
                    defaultHistory);
}

bool StationOptionsParser::parseSize(const QString& text, qint64* bytes)
{
    QString digits = text.trimmed().toUpper();
    if (digits.endsWith(QLatin1String("IB")))
        digits.chop(2);
    else if (digits.endsWith(u'B') && digits.size() > 1 && !digits.at(digits.size() - 2).isDigit())
        digits.chop(1);
    qint64 factor = 1;
    if (digits.endsWith(u'K'))
        factor = 1024;
    else if (digits.endsWith(u'M'))
        factor = 1024 * 1024;
    else if (digits.endsWith(u'G'))
        factor = 1024LL * 1024 * 1024;
    if (factor > 1)
        digits.chop(1);
    bool ok = false;
    const qint64 value = digits.toLongLong(&ok);
    if (!ok || value <= 0 || value > (qint64(1) << 40) / factor)
        return false;
    *bytes = value * factor;
    return true;
}

bool StationOptionsParser::isWebhookUrl(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() &&
           (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")) &&
           !url.host().isEmpty();
}

bool StationOptionsParser::parseListen(const QString& text, StationOptions* options, QString* error)
{
    HostPortText split;
    QString why;
    if (!HostPortText::split(text, &split, &why)) {
        *error = QStringLiteral("--listen \"%1\": %2").arg(text, why);
        return false;
    }
    if (!split.bracketed && split.host.contains(u':')) {
        *error = QStringLiteral("--listen \"%1\": put an IPv6 address in brackets: [ADDRESS]:PORT").arg(text);
        return false;
    }
    const QString host = split.host;
    const QString port = split.port;
    options->port = StationOptions::DefaultPort;
    if (!port.isEmpty()) {
        bool ok = false;
        const uint value = port.toUInt(&ok);
        if (!ok || value > 65535) {
            *error = QStringLiteral("--listen \"%1\": \"%2\" is no port (0-65535)").arg(text, port);
            return false;
        }
        options->port = quint16(value);
    }
    QHostAddress address(host);
    if (address.isNull()) {
        const QHostInfo info = QHostInfo::fromName(host);
        if (info.addresses().isEmpty()) {
            *error = QStringLiteral("--listen \"%1\": cannot resolve %2").arg(text, host);
            return false;
        }
        address = info.addresses().constFirst();
    }
    options->listenHost = host;
    options->address = address;
    return true;
}

bool StationOptionsParser::parse(const QStringList& arguments, StationOptions* options, QString* error) const
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption listen(QStringLiteral("listen"), {}, QStringLiteral("HOST:PORT"));
    const QCommandLineOption stateDir(QStringLiteral("state-dir"), {}, QStringLiteral("DIR"));
    const QCommandLineOption serverName(QStringLiteral("server-name"), {}, QStringLiteral("NAME"));
    const QCommandLineOption tlsCert(QStringLiteral("tls-cert"), {}, QStringLiteral("FILE"));
    const QCommandLineOption tlsKey(QStringLiteral("tls-key"), {}, QStringLiteral("FILE"));
    const QCommandLineOption maxFirmware(QStringLiteral("max-firmware-size"), {}, QStringLiteral("SIZE"));
    const QCommandLineOption idle(QStringLiteral("idle-timeout"), {}, QStringLiteral("S"));
    const QCommandLineOption maxConnections(QStringLiteral("max-connections"), {}, QStringLiteral("N"));
    const QCommandLineOption perClient(QStringLiteral("max-connections-per-client"), {}, QStringLiteral("N"));
    const QCommandLineOption product(QStringLiteral("product"), {}, QStringLiteral("NAME"));
    const QCommandLineOption history(QStringLiteral("history"), {}, QStringLiteral("URL"));
    const QCommandLineOption historyRequired(QStringLiteral("history-required"));
    const QCommandLineOption fixtures(QStringLiteral("fixtures"), {}, QStringLiteral("FILE"));
    const QCommandLineOption goneAfter(QStringLiteral("fixture-gone-after"), {}, QStringLiteral("S"));
    const QCommandLineOption allowedSigners(QStringLiteral("allowed-signers"), {}, QStringLiteral("FILE"));
    const QCommandLineOption revokedKeys(QStringLiteral("revoked-keys"), {}, QStringLiteral("FILE"));
    const QCommandLineOption webhook(QStringLiteral("webhook"), {}, QStringLiteral("URL"));
    const QCommandLineOption webhookSecret(QStringLiteral("webhook-secret-file"), {}, QStringLiteral("FILE"));
    parser.addOptions({help,    version,         listen,   stateDir,       serverName,     tlsCert,
                       tlsKey,  maxFirmware,     idle,     maxConnections, perClient,      product,
                       history, historyRequired, fixtures, goneAfter,      allowedSigners, revokedKeys,
                       webhook, webhookSecret});
#ifdef UPLOADER_STATION_TIME_SCALE
    const QCommandLineOption timeScale(QStringLiteral("time-scale"), {}, QStringLiteral("F"));
    parser.addOption(timeScale);
#endif
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    StationOptions result;
    if (parser.isSet(help))
        result.action = StationOptions::Action::Help;
    else if (parser.isSet(version))
        result.action = StationOptions::Action::Version;
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().constFirst());
        return false;
    }
    if (parser.isSet(listen) && !parseListen(parser.value(listen), &result, error))
        return false;
    result.stateDir = parser.isSet(stateDir) ? parser.value(stateDir) : StationOptions::defaultStateDir();
    if (result.stateDir.isEmpty()) {
        *error = QStringLiteral("--state-dir is empty");
        return false;
    }
    result.stateDir = QDir(result.stateDir).absolutePath();
    result.serverNames = parser.values(serverName);
    result.tlsCertificate = parser.value(tlsCert);
    result.tlsKey = parser.value(tlsKey);
    if (result.tlsCertificate.isEmpty() != result.tlsKey.isEmpty()) {
        *error = QStringLiteral("--tls-cert and --tls-key go together: give both or neither");
        return false;
    }
    result.allowedSigners = parser.value(allowedSigners);
    result.revokedKeys = parser.value(revokedKeys);
    if (result.allowedSigners.isEmpty() && !result.revokedKeys.isEmpty()) {
        *error = QStringLiteral("--revoked-keys needs --allowed-signers");
        return false;
    }
    for (const QString& keys : {result.allowedSigners, result.revokedKeys}) {
        if (!keys.isEmpty() && !QFileInfo(keys).isReadable()) {
            *error = QStringLiteral("cannot read the release keys in %1").arg(keys);
            return false;
        }
    }
    for (const QString& url : parser.values(webhook)) {
        if (!isWebhookUrl(url)) {
            *error = QStringLiteral("--webhook \"%1\" is no http or https URL").arg(url);
            return false;
        }
    }
    result.webhooks = parser.values(webhook);
    result.webhookSecretFile = parser.value(webhookSecret);
    if (!result.webhookSecretFile.isEmpty() && result.webhooks.isEmpty()) {
        *error = QStringLiteral("--webhook-secret-file needs --webhook");
        return false;
    }
    if (parser.isSet(maxFirmware) && !parseSize(parser.value(maxFirmware), &result.maxFirmwareSize)) {
        *error =
            QStringLiteral("--max-firmware-size \"%1\" is no size (e.g. 64M)").arg(parser.value(maxFirmware));
        return false;
    }
    const auto number = [&](const QCommandLineOption& option, int low, int high, int* value) {
        if (!parser.isSet(option))
            return true;
        bool ok = false;
        const int n = parser.value(option).toInt(&ok);
        if (!ok || n < low || n > high) {
            *error = QStringLiteral("--%1 \"%2\" must be a whole number from %3 to %4")
                         .arg(option.names().constFirst(), parser.value(option))
                         .arg(low)
                         .arg(high);
            return false;
        }
        *value = n;
        return true;
    };
    if (!number(idle, 1, 86400, &result.limits.idleTimeoutSeconds) ||
        !number(maxConnections, 1, 100000, &result.limits.connections) ||
        !number(perClient, 1, 100000, &result.limits.connectionsPerClient) ||
        !number(goneAfter, 1, 3600, &result.fixtureGoneAfterSeconds))
        return false;
    result.fixturesFile = parser.value(fixtures);
    result.product = m_buildProduct;
    if (parser.isSet(product)) {
        result.product = ProductVariants::named(parser.value(product));
        if (!result.product) {
            *error = QStringLiteral("unknown product \"%1\"; known products: %2")
                         .arg(parser.value(product), ProductVariants::namesForCommandLine());
            return false;
        }
    }
    result.history = parser.value(history).trimmed();
    if (parser.isSet(history)) {
        const HistoryLocation location = HistoryLocation::parse(result.history);
        if (!location.isValid()) {
            *error = QStringLiteral("--history: ") + location.error();
            return false;
        }
    }
    result.historyRequired = parser.isSet(historyRequired);
#ifdef UPLOADER_STATION_TIME_SCALE
    if (parser.isSet(timeScale)) {
        bool ok = false;
        result.timeScale = parser.value(timeScale).toDouble(&ok);
        if (!ok || result.timeScale <= 0 || result.timeScale > 1) {
            *error = QStringLiteral("--time-scale must be a number above 0, at most 1");
            return false;
        }
    }
#endif
    *options = result;
    return true;
}
