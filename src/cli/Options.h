#pragma once

#include "fleet/UnitEntry.h"

#include <QList>
#include <QString>
#include <QStringList>

struct ProductVariant;

// What the command line asks for.
struct Options
{
    enum class Action
    {
        Update,
        Check,
        Help,
        Version,
    };

    Action action = Action::Update;
    QString firmwarePath;
    QList<UnitEntry> units;
    const ProductVariant* product = nullptr;
    int parallel = 0; // 0: all units at once
    int repeat = 1;
    bool keepGoing = false; // with --repeat, go on after a failed update
    int retries = 0;        // attempts more after a network fault
    QString lot;            // on every row, or empty
    QString failedFrom;     // a run's id: its units that failed are the units (read at start)
    bool watch = false;     // each unit's address is a fixture, watched until interrupted
    bool json = false;
    bool verbose = false;
    bool slow = false;
    double connectTimeoutSeconds = 3.3;
    double replyTimeoutSeconds = 15;
    QString expectedSha256; // lower-case hex, or empty
    // With allowedSigners, only a file with a good signature by one of them is sent.
    QString allowedSigners, revokedKeys;
    QString signaturePath;  // empty: FW.sig beside the file
    double timeScale = 1.0; // only in the test build (see OptionsParser::Features)
    // Where the updates are recorded: --history as typed (empty: UPLOADER_HISTORY or the default).
    QString historyLocation;
    bool noHistory = false;       // record nothing
    bool historyRequired = false; // refuse to start when the history cannot be written
    QString logDir;               // one text file per update there, or empty

    static constexpr int MaxRetries = 10;

    // Not fatal (a unit named twice); for standard error.
    QStringList warnings;
};

// Reads the arguments (the program name first). The build's product is the default for
// --product; buildTitle names the build when it is for no known product.
class OptionsParser
{
public:
    // What a build of the program accepts beyond its documented options. The shipped program
    // accepts nothing more: no option of it changes how long it waits for a unit. The test build
    // (uploader-cli-testing, never installed) also takes --time-scale X, which scales every wait
    // so that tests of reboot waits take milliseconds.
    enum class Features
    {
        Shipped,
        Testing,
    };

    OptionsParser(const ProductVariant* buildProduct, QString buildTitle,
                  Features features = Features::Shipped);

    // False with a one-line error for a usage error.
    bool parse(const QStringList& arguments, Options* options, QString* error) const;

    static QString helpText(const ProductVariant* buildProduct);

private:
    const ProductVariant* m_buildProduct;
    QString m_buildTitle;
    Features m_features;
};
