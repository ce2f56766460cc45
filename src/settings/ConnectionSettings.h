#pragma once

#include <QString>

class SettingsStore;
struct ProductVariant;

// The unit's address and port as the operator last used them in a complete update, stored as
// typed (keys EthernetAddress and EthernetPort), with the product's defaults where nothing is
// stored.
struct ConnectionSettings
{
    static constexpr const char* AddressKey = "EthernetAddress";
    static constexpr const char* PortKey = "EthernetPort";

    QString address;
    QString port;

    // Each key falls back on its own default. A product without defaults (or none at all) still
    // shows what was saved.
    static ConnectionSettings load(const SettingsStore& store, const ProductVariant* product);
    // Returns false, with the reason in *error, when the values could not be written.
    bool save(SettingsStore& store, QString* error = nullptr) const;
};
