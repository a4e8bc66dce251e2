#pragma once
// CFType: a value holding one CoreFoundation object (string, number, boolean, data, date, dictionary,
// array, or none) with conversions to and from Qt values and property-list bytes. Every function of the
// library is looked up by name on each call; nothing here throws: a failed creation or parse gives a
// null value, a conversion of the wrong kind its fallback.
//
// Ownership: what a Create or Copy function returned is wrapped owned and released once, by the last copy
// of the value; what is borrowed from a container, and the two booleans, are wrapped not owned. A
// borrowed value keeps its container alive, but a value replaced in its dictionary is gone.
// Copies share the object and make no library call; they may be dropped on any thread.
#include "devicelibs/corefoundation.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QSharedPointer>
#include <QString>

#include <map>
#include <utility>

// Releases its reference when it owns one. A borrowed reference keeps the holder of its container.
struct CFHolder {
    CFHolder(CFTypeRef reference, bool isOwned, QSharedPointer<CFHolder> container = {})
        : ref(reference), owned(isOwned), owner(std::move(container))
    {
    }
    ~CFHolder();
    CFHolder(const CFHolder&) = delete;
    CFHolder& operator=(const CFHolder&) = delete;

    const CFTypeRef ref;
    const bool owned;
    const QSharedPointer<CFHolder> owner;
};

// A CoreFoundation index (number type 14), told apart from the other integers.
struct CFIndexValue {
    CFIndex value;
};

class CFType {
public:
    // The null value: no reference, of the null type.
    CFType();
    CFType(CFTypeRef ref, bool owned);
    explicit CFType(bool value);
    explicit CFType(qint8 value);
    explicit CFType(qint16 value);
    explicit CFType(qint32 value);
    explicit CFType(qint64 value);
    explicit CFType(float value);
    explicit CFType(double value);
    explicit CFType(CFIndexValue value);
    explicit CFType(const QString& value);
    explicit CFType(const QByteArray& value);
    // The instant, to the whole second; an invalid date-time gives the null value.
    explicit CFType(const QDateTime& value);
    virtual ~CFType();

    static CFType dictionary();
    static CFType array();
    // Binary or XML; null when the bytes do not parse.
    static CFType fromPlistData(const QByteArray& bytes);
    // Null when the file cannot be read.
    static CFType fromPlistFile(const QString& path);
    // A deep, immutable copy through an XML property list (dates keep whole seconds).
    CFType clone() const;

    CFTypeRef ref() const;
    CFTypeID typeId() const;
    bool isNull() const { return ref() == nullptr; }
    bool isNumber() const;
    bool isBoolean() const;
    bool isString() const;
    bool isData() const;
    bool isDate() const;
    bool isDictionary() const;
    bool isArray() const;

    // The default for another kind or a value that does not fit exactly.
    bool toBool(bool defaultValue = false) const;
    int toInt(int defaultValue = 0) const;
    qint64 toInt64(qint64 defaultValue = 0) const;
    double toDouble(double defaultValue = 0.0) const;
    CFIndex stringLength() const;  // UTF-16 units
    QString toString() const;
    CFIndex dataLength() const;
    QByteArray toByteArray() const;
    // The calendar fields in the zone (null: UTC), to the whole second, as a date-time of that offset
    // from UTC; invalid for another kind.
    QDateTime toDateTime(CFTimeZoneRef zone = nullptr) const;
    QDateTime toDateTime(int offsetSeconds) const;
    QDateTime toDateTime(const QString& zoneName) const;
    // Any kind as text: numbers in full, booleans "1" or "0", data as UTF-8; "" for the rest.
    QString toText() const;
    CFIndex count() const;  // dictionaries
    CFIndex size() const;   // arrays

    // Borrowed from a dictionary; null when absent or for another kind.
    CFType value(const CFType& key) const;
    CFType value(const QString& key) const;
    // Borrowed from an array; null outside it or for another kind.
    CFType valueAt(CFIndex index) const;
    // Borrowed keys of a dictionary.
    QList<CFType> keys() const;
    // Containers keep what they are given alive as long as their CFType; both return the container.
    CFType& append(const CFType& item);
    CFType& setValue(const CFType& key, const CFType& value);

    // Serialised as format (kCFPropertyListXMLFormat_v1_0 or kCFPropertyListBinaryFormat_v1_0): the data
    // object, or its bytes; null or empty for what a property list cannot hold.
    CFType toPlist(CFPropertyListFormat format) const;
    QByteArray toPlistData(CFPropertyListFormat format) const;

private:
    struct ByAddress {
        bool operator()(const QSharedPointer<CFHolder>& a, const QSharedPointer<CFHolder>& b) const
        {
            return a.data() < b.data();
        }
    };

    CFType borrowed(CFTypeRef ref) const;
    bool isKind(const char* typeIdFunction) const;
    QDateTime dateTimeIn(CFTimeZoneRef zone) const;

    QSharedPointer<CFHolder> holder;
    std::map<QSharedPointer<CFHolder>, QSharedPointer<CFHolder>, ByAddress> keptEntries;
    QList<CFType> keptElements;
};
