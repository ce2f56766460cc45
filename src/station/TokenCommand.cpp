#include "station/TokenCommand.h"

#include "station/StationOptions.h"
#include "station/TokenFile.h"
#include "station/TokenStore.h"

#include "process/ConsoleOutput.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

namespace {

constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

QString timeText(const QDateTime& time)
{
    return time.isValid() ? time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral("Z")
                          : QStringLiteral("never");
}

int usage(const QString& message)
{
    ConsoleOutput::error(message + QStringLiteral(" (see uploader-station --help)"));
    return ExitUsage;
}

int list(const QString& stateDir)
{
    TokenStore::Contents contents;
    QString error;
    if (!TokenStore::read(stateDir, &contents, &error)) {
        ConsoleOutput::error(error);
        return ExitFailed;
    }
    QString text = QStringLiteral("%1 %2 %3 %4\n")
                       .arg(QStringLiteral("NAME"), -32)
                       .arg(QStringLiteral("ROLE"), -8)
                       .arg(QStringLiteral("CREATED"), -20)
                       .arg(QStringLiteral("LAST USED"));
    const auto row = [&text](const QString& name, Role role, const QDateTime& created,
                             const QDateTime& used) {
        text += QStringLiteral("%1 %2 %3 %4\n")
                    .arg(name, -32)
                    .arg(Roles::name(role), -8)
                    .arg(created.isValid() ? timeText(created) : QStringLiteral("-"), -20)
                    .arg(timeText(used));
    };
    const QFileInfo first(TokenFile::path(stateDir));
    if (first.exists())
        row(TokenStore::firstTokenName(), Role::Admin,
            first.birthTime().isValid() ? first.birthTime() : first.lastModified(), contents.firstTokenUsed);
    for (const TokenStore::Entry& entry : contents.tokens)
        row(entry.name, entry.role, entry.created, entry.lastUsed);
    ConsoleOutput::out(text);
    return 0;
}

} // namespace

namespace TokenCommand {

bool isAsked(const QStringList& arguments)
{
    return !arguments.isEmpty() && arguments.first() == QLatin1String("token");
}

int run(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption stateDirOption(QStringLiteral("state-dir"), {}, QStringLiteral("DIR"));
    const QCommandLineOption roleOption(QStringLiteral("role"), {}, QStringLiteral("ROLE"));
    parser.addOptions({stateDirOption, roleOption});
    if (!parser.parse(QStringList{QStringLiteral("uploader-station")} + arguments.mid(1)))
        return usage(parser.errorText());
    const QStringList words = parser.positionalArguments();
    const QString action = words.value(0);
    const QString stateDir =
        parser.isSet(stateDirOption) ? parser.value(stateDirOption) : StationOptions::defaultStateDir();
    QString error;
    const bool known =
        (action == QLatin1String("list") && words.size() == 1) ||
        ((action == QLatin1String("add") || action == QLatin1String("revoke")) && words.size() == 2);
    if (known && !QDir(stateDir).exists())
        return usage(
            QStringLiteral("no state folder %1; start the station once, or give --state-dir").arg(stateDir));
    if (action == QLatin1String("list") && words.size() == 1 && !parser.isSet(roleOption))
        return list(stateDir);
    if (action == QLatin1String("add") && words.size() == 2) {
        Role role;
        if (!parser.isSet(roleOption) || !Roles::parse(parser.value(roleOption), &role))
            return usage(QStringLiteral("token add needs --role admin or --role operator"));
        QByteArray token;
        if (!TokenStore::add(stateDir, words.at(1), role, &token, &error)) {
            ConsoleOutput::error(error);
            return TokenStore::isName(words.at(1)) ? ExitFailed : ExitUsage;
        }
        // Shown this once: only its hash is kept.
        ConsoleOutput::out(QString::fromLatin1(token) + u'\n');
        return 0;
    }
    if (action == QLatin1String("revoke") && words.size() == 2 && !parser.isSet(roleOption)) {
        if (!TokenStore::revoke(stateDir, words.at(1), &error)) {
            ConsoleOutput::error(error);
            return ExitFailed;
        }
        return 0;
    }
    return usage(QStringLiteral("token takes add NAME --role admin|operator, list, or revoke NAME"));
}

} // namespace TokenCommand
