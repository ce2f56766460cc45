#include "settings/SettingsStore.h"

#include <QSettings>

namespace {

QString describe(QSettings::Status status, const QString& fileName)
{
    switch (status) {
    case QSettings::AccessError:
        return QStringLiteral("cannot write %1").arg(fileName);
    case QSettings::FormatError:
        return QStringLiteral("%1 is not a valid settings file").arg(fileName);
    case QSettings::NoError:
        break;
    }
    return {};
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
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        if (error)
            *error = describe(settings.status(), settings.fileName());
        return false;
    }
    return true;
}

bool SettingsStore::removeSection(QString* error)
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, OrganizationName, m_applicationTitle);
    settings.remove(Section);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        if (error)
            *error = describe(settings.status(), settings.fileName());
        return false;
    }
    return true;
}

bool SettingsStore::removeKeys(const QStringList& keys, QString* error)
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, OrganizationName, m_applicationTitle);
    settings.beginGroup(Section);
    for (const QString& key : keys)
        settings.remove(key);
    settings.endGroup();
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        if (error)
            *error = describe(settings.status(), settings.fileName());
        return false;
    }
    return true;
}

QString SettingsStore::fileName() const
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, OrganizationName, m_applicationTitle)
        .fileName();
}
