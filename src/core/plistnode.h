#pragma once
// PlistNode: a shared value over one libplist node. It parses binary and XML property lists, answers
// type questions, reads scalars as Qt types, walks dictionaries and arrays, builds nodes from Qt values
// and writes a tree back out.
//
// Ownership: copies of a PlistNode share one holder. An owning holder frees its tree when the last copy
// goes. A view (value(), at()) points into a tree and keeps the tree's owner alive, so it can never
// dangle; when a part of the tree is replaced or freed, views into that part become null. Inserting an
// owning root moves it into the container (its copies turn into views); inserting anything else
// inserts a deep copy, so a node never has two parents. Nothing here throws; property lists come from
// outside and are treated as hostile.
#include "platform/plistparse.h"

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QSharedPointer>
#include <QString>

class PlistNode {
public:
    struct Holder;

    // Inputs larger than this are refused rather than handed to the parser.
    static constexpr int kMaxInputBytes = kMaxPropertyListBytes;

    PlistNode() = default;
    // Wraps node. With owns the wrapper frees it; without, the caller keeps it alive and no views
    // taken from it are tracked.
    PlistNode(plist_t node, bool owns);

    // Binary when the data begins with "bplist00" and is longer than that, XML otherwise; null on
    // failure.
    static PlistNode fromData(const QByteArray& bytes, bool owns = true);
    static PlistNode fromBool(bool value, bool owns = true);
    static PlistNode fromUInt64(quint64 value, bool owns = true);
    static PlistNode fromDouble(double value, bool owns = true);
    static PlistNode fromByteArray(const QByteArray& value, bool owns = true);
    // Whole seconds since 2001-01-01 UTC (milliseconds dropped), clamped to the 32-bit range.
    static PlistNode fromDateTime(const QDateTime& value, bool owns = true);
    static PlistNode fromString(const QString& value, bool owns = true);
    static PlistNode fromKey(const QString& value, bool owns = true);
    static PlistNode newArray(bool owns = true);
    static PlistNode newDict(bool owns = true);
    static PlistNode copyOf(const PlistNode& other, bool owns = true);

    // No holder, no node, or a node of no type.
    bool isNull() const;
    bool isBool() const { return isType(PLIST_BOOLEAN); }
    bool isUInt() const { return isType(PLIST_UINT); }
    bool isReal() const { return isType(PLIST_REAL); }
    bool isString() const { return isType(PLIST_STRING); }
    bool isArray() const { return isType(PLIST_ARRAY); }
    bool isDict() const { return isType(PLIST_DICT); }
    bool isDate() const { return isType(PLIST_DATE); }
    bool isData() const { return isType(PLIST_DATA); }
    bool isKey() const { return isType(PLIST_KEY); }
    // True when this value frees its tree (false for views, inserted items and null values).
    bool isOwning() const;

    // Each getter gives its default (false, 0, null, invalid, "") for a value of another type.
    bool toBool() const;
    quint64 toUInt64() const;
    double toDouble() const;
    QByteArray toByteArray() const;
    // Local time, millisecond precision.
    QDateTime toDateTime() const;
    QString toString() const;
    QString toKey() const;
    int count() const;     // arrays only
    int dictSize() const;  // dictionaries only
    plist_t node() const;

    // A view of item index of an array; null for another type or an index out of range.
    PlistNode at(int index) const;
    // A view of the entry key of a dictionary; null when absent or for another type.
    PlistNode value(const QString& key) const;
    // Every entry of a dictionary as an owning deep copy; empty for another type.
    QMap<QString, PlistNode> toMap() const;

    // Adds item to this array / sets it under key in this dictionary, replacing an entry there. False
    // (nothing changed) when this is not an array / dictionary or item is null.
    bool append(const PlistNode& item);
    bool setValue(const QString& key, const PlistNode& item);

    // Frees an owning tree now; views into it become null. Does nothing for views and other
    // non-owning values, whose tree belongs to someone else.
    void free();

    QString toXml() const;       // "" for a null value
    QByteArray toBinary() const;  // empty for a null value

private:
    explicit PlistNode(QSharedPointer<Holder> holder);
    bool isType(plist_type type) const;
    PlistNode viewOf(plist_t child) const;
    QSharedPointer<Holder> treeOwner() const;
    plist_t nodeToInsert(const PlistNode& item) const;

    QSharedPointer<Holder> m_holder;
};
