#include "cli/UpdateLogFiles.h"

#include "fleet/UpdateRunner.h"

#include <QDir>
#include <QFile>
#include <QTemporaryFile>

UpdateLogFiles::UpdateLogFiles(const UpdateRunner& runner, QString folder, bool verbose, QObject* parent)
    : QObject(parent), m_folder(std::move(folder)), m_verbose(verbose)
{
    m_files.resize(runner.units().size());
}

UpdateLogFiles::~UpdateLogFiles() = default;

bool UpdateLogFiles::prepare(const QString& folder, QString* error)
{
    const QDir dir(folder);
    if (!dir.mkpath(QStringLiteral("."))) {
        *error = QStringLiteral("--log-dir \"%1\": the folder cannot be created").arg(folder);
        return false;
    }
    QTemporaryFile probe(dir.filePath(QStringLiteral(".uploader-cli-XXXXXX")));
    if (!probe.open() || probe.write("\n", 1) != 1 || !probe.flush()) {
        *error = QStringLiteral("--log-dir \"%1\": cannot write there (%2)").arg(folder, probe.errorString());
        return false;
    }
    return true;
}

QString UpdateLogFiles::fileName(const QDateTime& started, const QString& host, int port)
{
    QString safeHost;
    for (const QChar c : host) {
        if (c == u':')
            safeHost += u'-';
        else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                 c == u'.' || c == u'-')
            safeHost += c;
        else
            safeHost += u'_';
    }
    if (safeHost.startsWith(u'.'))
        safeHost.replace(0, 1, u'_'); // never a hidden file, never ".."
    const QString time = started.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH-mm-ss.zzzZ"));
    return QStringLiteral("%1_%2_%3.log").arg(time, safeHost.left(200)).arg(port);
}

void UpdateLogFiles::updateStarted(const UnitRun& unit)
{
    const QDir dir(m_folder);
    const QString name = fileName(QDateTime::currentDateTimeUtc(), unit.address.host, unit.address.port);
    // Two updates of one unit in the same millisecond (a unit that fails at once, --repeat
    // --keep-going) keep a file each.
    QString path = dir.filePath(name);
    for (int n = 2; QFile::exists(path); ++n)
        path = dir.filePath(name.chopped(4) + QStringLiteral("-%1.log").arg(n));
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        fail(*file);
        file.reset();
    }
    m_files[size_t(unit.index)] = std::move(file);
}

void UpdateLogFiles::logLine(const UnitRun& unit, const QString& text, bool debugOnly)
{
    QFile* file = m_files[size_t(unit.index)].get();
    if (!file || (debugOnly && !m_verbose))
        return;
    const QByteArray line = text.toUtf8() + '\n';
    if (file->write(line) != line.size() || !file->flush())
        fail(*file);
}

void UpdateLogFiles::updateFinished(const UnitRun& unit)
{
    if (std::unique_ptr<QFile> file = std::move(m_files[size_t(unit.index)])) {
        file->close();
        if (file->error() != QFileDevice::NoError)
            fail(*file);
    }
}

void UpdateLogFiles::fail(const QFile& file)
{
    if (std::exchange(m_failed, true))
        return;
    emit failed(
        QStringLiteral("cannot write the update's log file %1: %2").arg(file.fileName(), file.errorString()));
}
