#pragma once

#include "history/HistoryLocation.h"
#include "station/HttpServer.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

struct ProductVariant;

// What uploader-station's command line asks for.
struct StationOptions
{
    static constexpr quint16 DefaultPort = 8470;
    static constexpr qint64 DefaultMaxFirmwareSize = 64 * 1024 * 1024;

    enum class Action
    {
        Serve,
        Help,
        Version,
    };

    Action action = Action::Serve;
    QString listenHost = QStringLiteral("127.0.0.1"); // as given
    QHostAddress address{QHostAddress::LocalHost};
    quint16 port = DefaultPort;
    QString stateDir;
    qint64 maxFirmwareSize = DefaultMaxFirmwareSize;
    QStringList serverNames;
    QString tlsCertificate;
    QString tlsKey;
    HttpServerLimits limits;
    const ProductVariant* product = nullptr; // the runs' default product
    double timeScale = 1.0;                  // test builds only
    QString history;                         // --history as given; empty: the default
    bool historyRequired = false;
    QString fixturesFile; // empty: no fixtures
    int fixtureGoneAfterSeconds = 3;
    // Release keys: with allowedSigners only firmware with a verified signature is run.
    QString allowedSigners, revokedKeys;
    // Receivers of a POST for every finished update (http or https), and the file whose content
    // signs the bodies; empty: unsigned.
    QStringList webhooks;
    QString webhookSecretFile;

    // The user's state folder: $STATE_DIRECTORY under systemd, else $XDG_STATE_HOME or
    // ~/.local/state, with uploader-station appended.
    static QString defaultStateDir();
    // --history, else $UPLOADER_HISTORY, else $STATE_DIRECTORY/history.sqlite under systemd (its
    // dynamic user has no home), else the user's history file that the window and uploader-cli share.
    // A shared (PostgreSQL) history's journal is STATE_DIR/journal.sqlite.
    HistoryLocation historyLocation() const;
};

class StationOptionsParser
{
public:
    StationOptionsParser(const ProductVariant* buildProduct, QString buildTitle);

    // False with a one-line error for a usage error.
    bool parse(const QStringList& arguments, StationOptions* options, QString* error) const;
    static QString helpText(const ProductVariant* buildProduct);

    // HOST:PORT, [IPV6]:PORT, or HOST alone (the default port). Names are looked up.
    static bool parseListen(const QString& text, StationOptions* options, QString* error);
    // An absolute http or https URL with a host.
    static bool isWebhookUrl(const QString& text);
    // Bytes, or with K, M or G (binary: 64M is 64 MiB).
    static bool parseSize(const QString& text, qint64* bytes);

private:
    const ProductVariant* m_buildProduct;
    QString m_buildTitle;
};
