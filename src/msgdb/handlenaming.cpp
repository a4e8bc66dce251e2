#include "msgdb/handlenaming.h"

#include <exception>

HandleNaming::HandleNaming(IOSContactsMemDb& contacts, CountryLibDb& countries, const char* readerName)
    : m_contacts(contacts), m_countries(countries), m_readerName(readerName)
{
}

void HandleNaming::openContactsQuietly()
{
    try {
        m_contacts.open();
    } catch (const std::exception&) {
    }
}

const Country& HandleNaming::countryOf(const QString& sn)
{
    const QString key = sn.toUpper();
    auto found = m_countryBySn.constFind(key);
    if (found == m_countryBySn.constEnd())
        found = m_countryBySn.insert(key, m_countries.countryBySn(key));
    return *found;
}

void HandleNaming::applyContact(_MsgHandle& handle)
{
    if (!m_contacts.isOpen())
        return;
    try {
        const ContactEntry entry = m_contacts.findByNumber(handle.id);
        handle.contactName = IOSContactsMemDb::contactDisplayName(entry);
        handle.photo = entry.photo;
    } catch (const std::exception& e) {
        qWarning("%s::chats, IOSContactsMemDb error. %s", m_readerName, e.what());
    }
}
