#include "settings/ConnectionSettings.h"

#include "settings/ProductVariant.h"
#include "settings/SettingsStore.h"

ConnectionSettings ConnectionSettings::load(const SettingsStore& store, const ProductVariant* product)
{
    const bool defaults = product && product->hasConnectionDefaults;
    return {store.read(QString::fromLatin1(AddressKey), defaults ? product->defaultAddress : QString()),
            store.read(QString::fromLatin1(PortKey), defaults ? product->defaultPort : QString())};
}

bool ConnectionSettings::save(SettingsStore& store, QString* error) const
{
    return store.write(QString::fromLatin1(AddressKey), address, error) &&
           store.write(QString::fromLatin1(PortKey), port, error);
}
