#pragma once
// The objects behind the references of libtmcf.so. Every object starts with its type and an atomic
// reference count; the library casts a reference to its kind only after checking the type, so a wrong
// kind of argument is answered with the fallback instead of being misread.
#include "devicelibs/corefoundation.h"

#include <QByteArray>
#include <QString>
#include <QTimeZone>

#include <atomic>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tmcf {

enum TypeId : CFTypeID {
    kNullType = 1,
    kBooleanType,
    kNumberType,
    kStringType,
    kDataType,
    kDateType,
    kDictionaryType,
    kArrayType,
    kTimeZoneType,
};

struct Object {
    constexpr Object(CFTypeID kind, bool isImmortal) : type(kind), immortal(isImmortal) {}
    const CFTypeID type;
    const bool immortal;  // the two booleans: never counted, never freed
    mutable std::atomic<long> refs{1};
};

// The object of ref when it is of kind T, else null.
template <class T>
const T* as(CFTypeRef ref)
{
    const auto* object = static_cast<const Object*>(ref);
    return object && object->type == T::kType ? static_cast<const T*>(object) : nullptr;
}

template <class T>
T* asMutable(CFTypeRef ref)
{
    return const_cast<T*>(as<T>(ref));
}

CFTypeRef retain(CFTypeRef ref);
void release(CFTypeRef ref);

// Value equality and a hash that agrees with it: what dictionary keys are compared by.
bool equal(CFTypeRef a, CFTypeRef b);
size_t hash(CFTypeRef ref);

// How deep the property-list conversions go before giving up on a tree.
constexpr int kMaxDepth = 512;

}  // namespace tmcf

struct TMCFBoolean : tmcf::Object {
    static constexpr CFTypeID kType = tmcf::kBooleanType;
    constexpr explicit TMCFBoolean(bool v) : Object(kType, true), value(v) {}
    const bool value;
};

// Integers are kept as 64-bit, floats as double; type is the normalised type (1 to 6).
struct TMCFNumber : tmcf::Object {
    static constexpr CFTypeID kType = tmcf::kNumberType;
    TMCFNumber(CFNumberType t, qint64 i) : Object(kType, false), type(t), integer(i) {}
    TMCFNumber(CFNumberType t, double d) : Object(kType, false), type(t), isFloat(true), real(d) {}
    const CFNumberType type;
    const bool isFloat = false;
    const qint64 integer = 0;
    const double real = 0.0;
};

struct TMCFString : tmcf::Object {
    static constexpr CFTypeID kType = tmcf::kStringType;
    explicit TMCFString(QString t) : Object(kType, false), text(std::move(t)) {}
    const QString text;  // UTF-16, so lengths and ranges count its units
};

struct TMCFData : tmcf::Object {
    static constexpr CFTypeID kType = tmcf::kDataType;
    explicit TMCFData(QByteArray b) : Object(kType, false), bytes(std::move(b)) {}
    const QByteArray bytes;
};

struct TMCFDate : tmcf::Object {
    static constexpr CFTypeID kType = tmcf::kDateType;
    explicit TMCFDate(CFAbsoluteTime t) : Object(kType, false), at(t) {}
    const CFAbsoluteTime at;
};

struct TMCFTimeZone : tmcf::Object {
    static constexpr CFTypeID kType = tmcf::kTimeZoneType;
    explicit TMCFTimeZone(QTimeZone z) : Object(kType, false), zone(std::move(z)) {}
    const QTimeZone zone;
};

// Keys and values are retained; entries keep the order in which their keys were first set.
struct TMCFDictionary : tmcf::Object {
    static constexpr CFTypeID kType = tmcf::kDictionaryType;
    explicit TMCFDictionary(bool isMutable) : Object(kType, false), mutableContent(isMutable) {}
    ~TMCFDictionary();
    TMCFDictionary(const TMCFDictionary&) = delete;
    TMCFDictionary& operator=(const TMCFDictionary&) = delete;

    struct KeyHash {
        size_t operator()(CFTypeRef key) const { return tmcf::hash(key); }
    };
    struct KeyEqual {
        bool operator()(CFTypeRef a, CFTypeRef b) const { return tmcf::equal(a, b); }
    };

    const void* find(CFTypeRef key) const;
    // Takes a reference to key and value of its own; replaces (and releases) an earlier value.
    void set(CFTypeRef key, CFTypeRef value);

    const bool mutableContent;
    std::vector<std::pair<CFTypeRef, CFTypeRef>> entries;
    std::unordered_map<CFTypeRef, size_t, KeyHash, KeyEqual> index;  // key -> position in entries
};

struct TMCFArray : tmcf::Object {
    static constexpr CFTypeID kType = tmcf::kArrayType;
    explicit TMCFArray(bool isMutable) : Object(kType, false), mutableContent(isMutable) {}
    ~TMCFArray();
    TMCFArray(const TMCFArray&) = delete;
    TMCFArray& operator=(const TMCFArray&) = delete;

    void append(CFTypeRef value);  // takes a reference of its own

    const bool mutableContent;
    std::vector<CFTypeRef> items;
};

namespace tmcf {

std::atomic<long>& liveObjects();

// A new object counted as live, with one reference for the caller.
template <class T, class... Args>
T* create(Args&&... args)
{
    liveObjects().fetch_add(1, std::memory_order_relaxed);
    return new T(std::forward<Args>(args)...);
}

}  // namespace tmcf
