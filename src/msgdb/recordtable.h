#pragma once
// A table from keys to non-owning record pointers, laid out flat: one array of key/pointer cells with
// open addressing, instead of one allocated node per entry. A history of a million messages files
// every message in two such tables, so the table is what decides the store's size per message and
// how fast it is filled, walked and freed. An empty table is one null pointer.
//
// It answers the questions a QHash answers here (value, insert, take, contains, walking the entries)
// and, like a QHash, walks its entries in no particular order. Hashes are seeded once per process,
// so keys read from a crafted file cannot be chosen to pile up in one place.

#include "platform/seededhash.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

inline quint64 recordHash(qint64 key)
{
    return seededHash(key);
}

// The same for text keys: the seeded text hash (Qt's own is no defence against crafted keys).
inline quint64 recordHash(const QString& key)
{
    return seededHash(key);
}

template <typename Key, typename T>
class RecordTable {
    struct Slot {
        Key key;
        T* value;
    };
    struct Data {
        std::vector<Slot> cells;  // a null value marks a free cell
        int size = 0;
    };

public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T*;
        using difference_type = std::ptrdiff_t;
        using pointer = T* const*;
        using reference = T*;

        const_iterator() = default;
        const Key& key() const { return m_data->cells[m_index].key; }
        T* value() const { return m_data->cells[m_index].value; }
        T* operator*() const { return value(); }
        const_iterator& operator++()
        {
            ++m_index;
            skipFree();
            return *this;
        }
        bool operator==(const const_iterator& other) const { return m_index == other.m_index; }
        bool operator!=(const const_iterator& other) const { return m_index != other.m_index; }

    private:
        friend class RecordTable;
        const_iterator(const Data* data, std::size_t index) : m_data(data), m_index(index) { skipFree(); }
        void skipFree()
        {
            while (m_data && m_index < m_data->cells.size() && !m_data->cells[m_index].value)
                ++m_index;
        }
        const Data* m_data = nullptr;
        std::size_t m_index = 0;
    };
    using iterator = const_iterator;

    RecordTable() = default;
    RecordTable(const RecordTable& other) : m_data(other.m_data ? std::make_unique<Data>(*other.m_data) : nullptr) {}
    RecordTable(RecordTable&&) noexcept = default;
    RecordTable& operator=(const RecordTable& other)
    {
        if (this != &other)
            m_data = other.m_data ? std::make_unique<Data>(*other.m_data) : nullptr;
        return *this;
    }
    RecordTable& operator=(RecordTable&&) noexcept = default;

    int size() const { return m_data ? m_data->size : 0; }
    int count() const { return size(); }
    bool isEmpty() const { return size() == 0; }

    T* value(const Key& key) const
    {
        const std::size_t at = slotOf(key);
        return at == kNone ? nullptr : m_data->cells[at].value;
    }
    bool contains(const Key& key) const { return slotOf(key) != kNone; }
    const_iterator find(const Key& key) const
    {
        const std::size_t at = slotOf(key);
        return at == kNone ? end() : const_iterator(m_data.get(), at);
    }
    const_iterator constFind(const Key& key) const { return find(key); }

    // Replaces the value of a key already there. A null value is not kept: inserting one removes key.
    void insert(const Key& key, T* value)
    {
        if (!value) {
            remove(key);
            return;
        }
        reserve(size() + 1);
        std::size_t at = home(key);
        while (m_data->cells[at].value) {
            if (m_data->cells[at].key == key) {
                m_data->cells[at].value = value;
                return;
            }
            at = next(at);
        }
        m_data->cells[at] = Slot{key, value};
        ++m_data->size;
    }

    // The value of key, now removed; null when key was not there.
    T* take(const Key& key)
    {
        const std::size_t at = slotOf(key);
        if (at == kNone)
            return nullptr;
        T* value = m_data->cells[at].value;
        removeSlot(at);
        return value;
    }
    int remove(const Key& key)
    {
        const std::size_t at = slotOf(key);
        if (at == kNone)
            return 0;
        removeSlot(at);
        return 1;
    }
    void clear() { m_data.reset(); }

    // Room for count entries without growing.
    void reserve(int count)
    {
        const std::size_t needed = std::size_t(count) + std::size_t(count) / 7 + 1;  // at most 7/8 full
        const std::size_t capacity = m_data ? m_data->cells.size() : 0;
        if (needed <= capacity)
            return;
        // Grown by half, not doubled: a big table then wastes less, and growth stays amortised.
        rehash(std::max<std::size_t>({needed, capacity + capacity / 2, 8}));
    }

    QList<T*> values() const
    {
        QList<T*> list;
        list.reserve(size());
        for (T* v : *this)
            list.append(v);
        return list;
    }
    QList<Key> keys() const
    {
        QList<Key> list;
        list.reserve(size());
        for (auto it = begin(); it != end(); ++it)
            list.append(it.key());
        return list;
    }

    const_iterator begin() const { return const_iterator(m_data.get(), 0); }
    const_iterator end() const { return const_iterator(m_data.get(), m_data ? m_data->cells.size() : 0); }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }
    const_iterator constBegin() const { return begin(); }
    const_iterator constEnd() const { return end(); }

private:
    static constexpr std::size_t kNone = ~std::size_t(0);

    std::size_t home(const Key& key) const
    {
        // The hash's high bits scaled to the capacity: no power-of-two size, so no slot is wasted on one.
        return std::size_t((unsigned __int128)recordHash(key) * m_data->cells.size() >> 64);
    }
    std::size_t next(std::size_t at) const { return at + 1 == m_data->cells.size() ? 0 : at + 1; }

    std::size_t slotOf(const Key& key) const
    {
        if (!m_data || m_data->size == 0)
            return kNone;
        for (std::size_t at = home(key); m_data->cells[at].value; at = next(at)) {
            if (m_data->cells[at].key == key)
                return at;
        }
        return kNone;
    }

    // Backward-shift deletion: the entries after the hole that may move into it do, so every entry
    // stays reachable from its home slot without tombstones.
    void removeSlot(std::size_t hole)
    {
        for (std::size_t at = next(hole); m_data->cells[at].value; at = next(at)) {
            const std::size_t wanted = home(m_data->cells[at].key);
            const bool homeBetween = hole <= at ? (hole < wanted && wanted <= at) : (hole < wanted || wanted <= at);
            if (homeBetween)
                continue;
            m_data->cells[hole] = std::move(m_data->cells[at]);
            hole = at;
        }
        m_data->cells[hole] = Slot{Key(), nullptr};
        --m_data->size;
    }

    void rehash(std::size_t capacity)
    {
        auto grown = std::make_unique<Data>();
        grown->cells.resize(capacity, Slot{Key(), nullptr});
        std::unique_ptr<Data> old = std::move(m_data);
        m_data = std::move(grown);
        if (!old)
            return;
        for (std::size_t i = 0; i < old->cells.size(); ++i) {
            if (!old->cells[i].value)
                continue;
            std::size_t at = home(old->cells[i].key);
            while (m_data->cells[at].value)
                at = next(at);
            m_data->cells[at] = std::move(old->cells[i]);
        }
        m_data->size = old->size;
    }

    std::unique_ptr<Data> m_data;
};
