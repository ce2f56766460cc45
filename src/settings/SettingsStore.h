#pragma once

#include <QString>
#include <QStringList>

// The per-user store that remembers the unit's address and port after a complete upload. It is
// an INI file per application title (so each build keeps its own), section "Settings".
class SettingsStore
{
public:
    static constexpr QLatin1StringView OrganizationName{"FirmwareUploader"};
    static constexpr QLatin1StringView Section{"Settings"};

    explicit SettingsStore(const QString& applicationTitle);

    // The stored value, or defaultValue when the key or the whole section is absent.
    QString read(const QString& key, const QString& defaultValue) const;
    // Returns false, with the reason in *error, when the value could not be written to disk.
    bool write(const QString& key, const QString& value, QString* error = nullptr);
    // Removes the section with every key; removing an absent section is not an error.
    bool removeSection(QString* error = nullptr);
    // Removes those keys of the section and leaves the others; absent keys are no error.
    bool removeKeys(const QStringList& keys, QString* error = nullptr);

    QString fileName() const;

private:
    QString m_applicationTitle;
};
