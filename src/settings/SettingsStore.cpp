#include "settings/SettingsStore.h"

#include <QSettings>

namespace {

// Writes the changes to disk; false, with the reason in *error, when that failed.
bool saved(QSettings& settings, QString* error)
{
    settings.sync();
    QString reason;
    switch (settings.status()) {
    case QSettings::NoError:
        return true;
    case QSettings::AccessError:
        reason = QStringLiteral("cannot write %1").arg(settings.fileName());
        break;
    case QSettings::FormatError:
        reason = QStringLiteral("%1 is not a valid settings file").arg(settings.fileName());
        break;
    }
    if (error)
        *error = reason;
    return false;
}

} // namespace

SettingsStore::SettingsStore(const QString& applicationTitle) : m_applicationTitle(applicationTitle) {}

QString SettingsStore::read(const QString& key, const QString& defaultValue) const
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, OrganizationName, m_applicationTitle);
    settings.beginGroup(Section);
    return settings.value(key, defaultValue).toString();
}

bool SettingsStore::write(const QString& key, const QString& value, QString* error)
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, OrganizationName, m_applicationTitle);
    settings.beginGroup(Section);
    settings.setValue(key, value);
    settings.endGroup();
    return saved(settings, error);
}

bool SettingsStore::removeSection(QString* error)
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, OrganizationName, m_applicationTitle);
    settings.remove(Section);
    return saved(settings, error);
}

bool SettingsStore::removeKeys(const QStringList& keys, QString* error)
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, OrganizationName, m_applicationTitle);
    settings.beginGroup(Section);
    for (const QString& key : keys)
        settings.remove(key);
    settings.endGroup();
    return saved(settings, error);
}

QString SettingsStore::fileName() const
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, OrganizationName, m_applicationTitle)
        .fileName();
}
