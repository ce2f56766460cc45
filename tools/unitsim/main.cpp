// unitsim: runs the simulated unit on a TCP port so the uploader can be rehearsed against it.

#include "process/QtDiagnostics.h"
#include "unitsim/ConsoleLog.h"
#include "unitsim/SimulatedUnit.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

using namespace unitsim;

namespace {

constexpr int kUsageError = 2;

int usageError(const QString& message)
{
    QTextStream(stderr) << "unitsim: " << message << "\nTry 'unitsim --help'." << Qt::endl;
    return kUsageError;
}

bool saveFile(const QString& path, const QByteArray& bytes, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

const char* kFaultHelp = R"(
Faults (--fault, repeatable): KIND[:ARG][@MESSAGE][#CONNECTION]
  MESSAGE counts the messages the unit replies to on a connection: 0 is the
  product-code frame, 1 the first record line, ... Command frames and garbage
  get no reply and are not counted. CONNECTION is 1 for the first connection
  accepted, 2 for the second, ...; without it the fault hits every connection.
  refuse[:CODE]@N     refusal FD 55 AA CODE + 4 bytes (CODE 01, 02 or 03; default 01)
  unknown-reply@N     reply FD 55 AA FF 00 00 instead
  unknown-header@N    reply FD 55 AA 04 00 00 00 00 instead
  stray:HEX@N         write the bytes HEX (no FD) in front of the reply
  split[:MS]@N        write the reply one byte at a time, MS apart (default 3)
  double@N            write the reply and a surplus acknowledgement in one write
  silence[@N]         no reply from message N on; the connection stays open
  drop@N              close the connection instead of replying
  reset@N             reset the connection instead of replying
  latency:MS[@N]      wait MS before each reply from message N on
  trail:HEX@N         write the bytes HEX (any) right after the reply, same write
  suffix:HEX@N        write the bytes HEX (any) right after every reply from
                      message N on, same write (suffix:0D0A@0: replies end in CR LF)
  flood-header[:MIB]@N
                      instead of the reply, FD 55 AA 04 00 00 00 00 and then zero
                      bytes, MIB MiB in all (default 300; 0 = until the peer closes)
  flood-stray[:MIB]@N MIB MiB of bytes that are never FD (default 300; 0 = until
                      the peer closes), then the reply
  A flood is written only as fast as the peer reads (at most about 128 KiB is
  buffered), and stops when the connection closes. Messages arriving meanwhile
  are handled as usual; their replies follow the flood. Each connection's
  summary gives the flood bytes the OS took.
Examples: --fault refuse:01@500  --fault silence@0#1  --fault stray:AA55@3
          --fault flood-stray:50@1  --fault flood-header:0@2
          --fault trail:FD55AA0100000000@1
)";

} // namespace

int main(int argc, char* argv[])
{
    QtDiagnostics::keepOffStandardError();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("unitsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated firmware-upload unit: answers product-code frames and Intel HEX "
                       "records over TCP, with scripted faults."));
    parser.addHelpOption();
    const QCommandLineOption product(
        QStringLiteral("product"),
        QStringLiteral(
            "Model to simulate: tessera, caldera16, vireogrand, marlin, quill or osprey (required)."),
        QStringLiteral("name"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("TCP port, 0 = any free port (default 2323)."),
                                  QStringLiteral("port"), QStringLiteral("2323"));
    const QCommandLineOption address(QStringLiteral("address"),
                                     QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                     QStringLiteral("ip"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption latency(
        QStringLiteral("latency"),
        QStringLiteral("Delay before every reply in ms, fractions allowed (1 ms timer granularity)."),
        QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption fault(QStringLiteral("fault"),
                                   QStringLiteral("Scripted fault, see below; repeatable."),
                                   QStringLiteral("fault"));
    const QCommandLineOption recordTypes(
        QStringLiteral("record-types"),
        QStringLiteral("Record types acknowledged, hex, comma-separated (default 00,01,02,04)."),
        QStringLiteral("list"), QStringLiteral("00,01,02,04"));
    const QCommandLineOption reportEvery(
        QStringLiteral("report-every"),
        QStringLiteral("Print a line every N accepted records, 0 = never (default 1000)."),
        QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption saveHex(
        QStringLiteral("save-hex"),
        QStringLiteral("After each connection that wrote data, save its image as Intel HEX."),
        QStringLiteral("file"));
    const QCommandLineOption hexRecordBytes(
        QStringLiteral("hex-record-bytes"),
        QStringLiteral("Data bytes per record in --save-hex files: 16 or 32 (default 16)."),
        QStringLiteral("n"), QStringLiteral("16"));
    const QCommandLineOption saveBin(
        QStringLiteral("save-bin"),
        QStringLiteral("After each connection that wrote data, save its image as binary (gaps FF)."),
        QStringLiteral("file"));
    const QCommandLineOption offlineAfter(
        QStringLiteral("offline-after"),
        QStringLiteral("Stop listening once N connections have closed, so later ones are refused."),
        QStringLiteral("n"));
    const QCommandLineOption once(QStringLiteral("once"),
                                  QStringLiteral("Exit after the first connection closes."));
    parser.addOptions({product, port, address, latency, fault, recordTypes, reportEvery, saveHex,
                       hexRecordBytes, saveBin, offlineAfter, once});

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        QTextStream(stdout) << parser.helpText() << kFaultHelp;
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    if (!parser.isSet(product))
        return usageError(QStringLiteral("--product is required"));
    const std::optional<Model> model = modelFromName(parser.value(product));
    if (!model)
        return usageError(QStringLiteral("unknown product \"%1\"").arg(parser.value(product)));

    bool ok = false;
    const uint portNumber = parser.value(port).toUInt(&ok);
    if (!ok || portNumber > 65535)
        return usageError(QStringLiteral("bad --port \"%1\"").arg(parser.value(port)));
    const QHostAddress listenAddress(parser.value(address));
    if (listenAddress.isNull())
        return usageError(QStringLiteral("bad --address \"%1\"").arg(parser.value(address)));
    const double latencyMs = parser.value(latency).toDouble(&ok);
    if (!ok || latencyMs < 0)
        return usageError(QStringLiteral("bad --latency \"%1\"").arg(parser.value(latency)));
    const int every = parser.value(reportEvery).toInt(&ok);
    if (!ok || every < 0)
        return usageError(QStringLiteral("bad --report-every \"%1\"").arg(parser.value(reportEvery)));
    const int hexBytes = parser.value(hexRecordBytes).toInt(&ok);
    if (!ok || (hexBytes != 16 && hexBytes != 32))
        return usageError(QStringLiteral("--hex-record-bytes must be 16 or 32"));
    int offlineCount = 0;
    if (parser.isSet(offlineAfter)) {
        offlineCount = parser.value(offlineAfter).toInt(&ok);
        if (!ok || offlineCount < 1)
            return usageError(QStringLiteral("bad --offline-after \"%1\"").arg(parser.value(offlineAfter)));
    }
    QSet<int> types;
    for (const QString& item : parser.value(recordTypes).split(u',', Qt::SkipEmptyParts)) {
        const uint type = item.trimmed().toUInt(&ok, 16);
        if (!ok || type > 0xFF)
            return usageError(QStringLiteral("bad record type \"%1\" in --record-types").arg(item));
        types.insert(int(type));
    }

    SimulatedUnit unit(*model);
    unit.setLatencyMs(latencyMs);
    unit.setSupportedRecordTypes(types);
    for (const QString& text : parser.values(fault)) {
        QString error;
        const std::optional<Fault> parsed = Fault::parse(text, &error);
        if (!parsed)
            return usageError(error);
        unit.addFault(*parsed);
    }

    ConsoleLog log(&unit, every);
    const QString hexPath = parser.value(saveHex);
    const QString binPath = parser.value(saveBin);
    const bool exitAfterOne = parser.isSet(once);
    int exitCode = 0;
    auto saveFailed = [&exitCode](const QString& path, const QString& error) {
        QTextStream(stderr) << "unitsim: cannot save " << path << ": " << error << Qt::endl;
        exitCode = 1;
    };
    QObject::connect(&unit, &SimulatedUnit::disconnected, &app, [&](int n) {
        const FlashImage& image = unit.report().connections.at(n - 1).image;
        QString error;
        if (!image.isEmpty() && !hexPath.isEmpty()) {
            if (saveFile(hexPath, image.toIntelHex(hexBytes), &error))
                log.print(QStringLiteral("[%1] image saved as Intel HEX to %2").arg(n).arg(hexPath));
            else
                saveFailed(hexPath, error);
        }
        if (!image.isEmpty() && !binPath.isEmpty()) {
            if (saveFile(binPath, image.toBinary(), &error))
                log.print(QStringLiteral("[%1] image saved as binary to %2").arg(n).arg(binPath));
            else
                saveFailed(binPath, error);
        }
        if (offlineCount > 0 && n >= offlineCount && unit.isListening()) {
            unit.stopListening();
            log.print(QStringLiteral("stopped listening: further connections are refused"));
        }
        if (exitAfterOne)
            QCoreApplication::exit(exitCode);
    });

    if (!unit.listen(listenAddress, quint16(portNumber))) {
        QTextStream(stderr) << "unitsim: cannot listen on " << listenAddress.toString() << ':' << portNumber
                            << ": " << unit.errorString() << Qt::endl;
        return 1;
    }
    log.print(QStringLiteral("%1 unit, listening on %2:%3")
                  .arg(modelName(*model), listenAddress.toString())
                  .arg(unit.port()));
    for (const Fault& f : unit.faults())
        log.print(QStringLiteral("scripted fault: %1").arg(f.toString()));
    return app.exec();
}
