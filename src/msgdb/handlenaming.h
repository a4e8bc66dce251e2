#pragma once
// Contact names and country rules for the handles a message database reads: the address book is
// opened quietly (conversations are read without names when it is missing), and countries are looked
// up once per code.
#include "msgdb/contacts.h"
#include "msgdb/country.h"
#include "msgdb/records.h"
#include "platform/seededhash.h"

#include <QHash>
#include <QString>

class HandleNaming {
public:
    // Both belong to the database object that holds this helper and outlive it.
    HandleNaming(IOSContactsMemDb& contacts, CountryLibDb& countries, const char* readerName);

    void openContactsQuietly();
    // The country of a two-letter code, in any case.
    const Country& countryOf(const QString& sn);
    // Name and photo from the address book when it is open: a number it does not know gets none.
    void applyContact(_MsgHandle& handle);

private:
    IOSContactsMemDb& m_contacts;
    CountryLibDb& m_countries;
    const char* m_readerName;
    TextHash<Country> m_countryBySn;  // upper-case code -> country, filled on demand
};
