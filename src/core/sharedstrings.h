#pragma once
// Short texts that repeat across many rows (services, accounts, countries, MIME types), decoded once
// and then shared: every row that holds the same bytes gets the same implicitly shared QString, so a
// history of a million messages keeps a handful of copies instead of a million.
//
// The pool is bounded: texts longer than kMaxBytes, and new texts once kMaxEntries are kept, are
// decoded as they come and not remembered, so a file whose every row differs costs no more than
// before. One pool serves one thread; the strings it hands out may go anywhere.
#include <QByteArray>
#include <QString>

#include <string_view>
#include <vector>

class SharedStrings {
public:
    static constexpr int kMaxBytes = 64;
    static constexpr int kMaxEntries = 256;

    SharedStrings();

    // The text of UTF-8 bytes, as QString::fromUtf8 gives it; a null view gives a null QString.
    QString text(std::string_view utf8);

private:
    struct Slot {
        uint hash = 0;
        QByteArray bytes;  // null: the slot is free
        QString text;
    };

    std::vector<Slot> m_slots;  // open addressing, twice kMaxEntries
    int m_entries = 0;
};
