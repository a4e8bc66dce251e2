#include "core/plistnode.h"

#include "platform/plistparse.h"

#include <QVector>

#include <cstdlib>
#include <limits>

struct PlistNode::Holder {
    plist_t node = nullptr;
    bool owns = false;
    // Views: the owning holder of their tree, kept alive as long as the view lives.
    QSharedPointer<Holder> owner;
    // Owners: the views handed out into their tree, so replacing or freeing a part can null them.
    QVector<QWeakPointer<Holder>> views;
    int pruneViewsAt = 16;

    Holder(plist_t n, bool o) : node(n), owns(o) {}
    ~Holder()
    {
        if (owns && node)
            plist_free(node);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    void addView(const QSharedPointer<Holder>& view)
    {
        if (views.size() >= pruneViewsAt) {
            views.erase(std::remove_if(views.begin(), views.end(),
                                       [](const QWeakPointer<Holder>& v) { return v.isNull(); }),
                        views.end());
            pruneViewsAt = qMax(16, 2 * views.size());
        }
        views.append(view);
    }
};

namespace {

constexpr qint64 kReferenceMSecs = 978307200000LL;  // 2001-01-01 00:00:00 UTC in Unix milliseconds

bool isWithin(plist_t node, plist_t ancestor)
{
    for (plist_t n = node; n; n = plist_get_parent(n)) {
        if (n == ancestor)
            return true;
    }
    return false;
}

// Nulls every live view of owner whose node lies in subtree (which is about to be freed).
void invalidateViewsWithin(PlistNode::Holder* owner, plist_t subtree)
{
    if (!owner)
        return;
    for (const QWeakPointer<PlistNode::Holder>& weak : qAsConst(owner->views)) {
        const QSharedPointer<PlistNode::Holder> view = weak.toStrongRef();
        if (view && view->node && isWithin(view->node, subtree))
            view->node = nullptr;
    }
}

// Takes a string that libplist allocated with malloc.
QString takeUtf8(char* text)
{
    const QString result = QString::fromUtf8(text);
    std::free(text);
    return result;
}

int clampedSize(quint64 size)
{
    return int(qMin<quint64>(size, quint64(std::numeric_limits<int>::max())));
}

qint64 floorDiv(qint64 value, qint64 divisor)
{
    const qint64 quotient = value / divisor;
    return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

}  // namespace

PlistNode::PlistNode(plist_t node, bool owns) : m_holder(QSharedPointer<Holder>::create(node, owns)) {}

PlistNode::PlistNode(QSharedPointer<Holder> holder) : m_holder(std::move(holder)) {}

PlistNode PlistNode::fromData(const QByteArray& bytes, bool owns)
{
    plist_t root = parsePropertyList(bytes);
    if (!root)
        return {};
    return PlistNode(root, owns);
}

PlistNode PlistNode::fromBool(bool value, bool owns)
{
    return PlistNode(plist_new_bool(value ? 1 : 0), owns);
}

PlistNode PlistNode::fromUInt64(quint64 value, bool owns)
{
    return PlistNode(plist_new_uint(value), owns);
}

PlistNode PlistNode::fromDouble(double value, bool owns)
{
    return PlistNode(plist_new_real(value), owns);
}

PlistNode PlistNode::fromByteArray(const QByteArray& value, bool owns)
{
    return PlistNode(plist_new_data(value.constData(), quint64(value.size())), owns);
}

PlistNode PlistNode::fromDateTime(const QDateTime& value, bool owns)
{
    if (!value.isValid())
        return {};
    const qint64 seconds = floorDiv(value.toMSecsSinceEpoch() - kReferenceMSecs, 1000);
    const qint64 clamped = qBound<qint64>(std::numeric_limits<int32_t>::min(), seconds,
                                          std::numeric_limits<int32_t>::max());
    return PlistNode(plist_new_date(int32_t(clamped), 0), owns);
}

PlistNode PlistNode::fromString(const QString& value, bool owns)
{
    return PlistNode(plist_new_string(value.toUtf8().constData()), owns);
}

PlistNode PlistNode::fromKey(const QString& value, bool owns)
{
    plist_t node = plist_new_string("");
    plist_set_key_val(node, value.toUtf8().constData());
    return PlistNode(node, owns);
}

PlistNode PlistNode::newArray(bool owns)
{
    return PlistNode(plist_new_array(), owns);
}

PlistNode PlistNode::newDict(bool owns)
{
    return PlistNode(plist_new_dict(), owns);
}

PlistNode PlistNode::copyOf(const PlistNode& other, bool owns)
{
    if (other.isNull())
        return {};
    return PlistNode(plist_copy(other.node()), owns);
}

plist_t PlistNode::node() const
{
    return m_holder ? m_holder->node : nullptr;
}

bool PlistNode::isNull() const
{
    return !node() || plist_get_node_type(node()) == PLIST_NONE;
}

bool PlistNode::isType(plist_type type) const
{
    return node() && plist_get_node_type(node()) == type;
}

bool PlistNode::isOwning() const
{
    return m_holder && m_holder->owns && m_holder->node;
}

bool PlistNode::toBool() const
{
    if (!isBool())
        return false;
    uint8_t value = 0;
    plist_get_bool_val(node(), &value);
    return value != 0;
}

quint64 PlistNode::toUInt64() const
{
    if (!isUInt())
        return 0;
    uint64_t value = 0;
    plist_get_uint_val(node(), &value);
    return value;
}

double PlistNode::toDouble() const
{
    if (!isReal())
        return 0.0;
    double value = 0.0;
    plist_get_real_val(node(), &value);
    return value;
}

QByteArray PlistNode::toByteArray() const
{
    if (!isData())
        return {};
    char* data = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node(), &data, &length);
    QByteArray result(data ? data : "", data ? clampedSize(length) : 0);
    std::free(data);
    return result;
}

QDateTime PlistNode::toDateTime() const
{
    if (!isDate())
        return {};
    int32_t seconds = 0;
    int32_t microseconds = 0;
    plist_get_date_val(node(), &seconds, &microseconds);
    const qint64 milliseconds = qint64(seconds) * 1000 + microseconds / 1000;
    return QDateTime::fromMSecsSinceEpoch(kReferenceMSecs + milliseconds);
}

QString PlistNode::toString() const
{
    if (!isString())
        return QString();
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node(), &length);
    return text ? QString::fromUtf8(text, int(qstrnlen(text, uint(clampedSize(length))))) : QString();
}

QString PlistNode::toKey() const
{
    if (!isKey())
        return QString();
    char* text = nullptr;
    plist_get_key_val(node(), &text);
    return takeUtf8(text);
}

int PlistNode::count() const
{
    return isArray() ? clampedSize(plist_array_get_size(node())) : 0;
}

int PlistNode::dictSize() const
{
    return isDict() ? clampedSize(plist_dict_get_size(node())) : 0;
}

QSharedPointer<PlistNode::Holder> PlistNode::treeOwner() const
{
    if (!m_holder)
        return {};
    return m_holder->owns ? m_holder : m_holder->owner;
}

PlistNode PlistNode::viewOf(plist_t child) const
{
    if (!child)
        return {};
    auto view = QSharedPointer<Holder>::create(child, false);
    view->owner = treeOwner();
    if (view->owner)
        view->owner->addView(view);
    return PlistNode(view);
}

PlistNode PlistNode::at(int index) const
{
    if (index < 0 || index >= count())
        return {};
    return viewOf(plist_array_get_item(node(), uint32_t(index)));
}

PlistNode PlistNode::value(const QString& key) const
{
    if (!isDict())
        return {};
    return viewOf(plist_dict_get_item(node(), key.toUtf8().constData()));
}

QMap<QString, PlistNode> PlistNode::toMap() const
{
    QMap<QString, PlistNode> result;
    if (!isDict())
        return result;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(node(), &iter);
    if (!iter)
        return result;
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node(), iter, &key, &item);
        if (!item) {
            std::free(key);
            break;
        }
        const QString name = takeUtf8(key);
        result.insert(name, PlistNode(plist_copy(item), true));
    }
    std::free(iter);
    return result;
}

// The node to link under this container for item: item's own node when item owns a free-standing
// root that is not an ancestor of this container (ownership moves over), else a deep copy.
plist_t PlistNode::nodeToInsert(const PlistNode& item) const
{
    plist_t itemNode = item.node();
    const bool movable = item.m_holder->owns && !plist_get_parent(itemNode) && !isWithin(node(), itemNode);
    if (!movable)
        return plist_copy(itemNode);

    Holder* moved = item.m_holder.data();
    const QSharedPointer<Holder> newOwner = treeOwner();
    moved->owns = false;
    moved->owner = newOwner;
    if (newOwner) {
        for (const QWeakPointer<Holder>& weak : qAsConst(moved->views)) {
            if (const QSharedPointer<Holder> view = weak.toStrongRef()) {
                view->owner = newOwner;
                newOwner->addView(view);
            }
        }
        newOwner->addView(item.m_holder);
    }
    moved->views.clear();
    return itemNode;
}

bool PlistNode::append(const PlistNode& item)
{
    if (!isArray() || item.isNull())
        return false;
    plist_array_append_item(node(), nodeToInsert(item));
    return true;
}

bool PlistNode::setValue(const QString& key, const PlistNode& item)
{
    if (!isDict() || item.isNull())
        return false;
    const QByteArray utf8Key = key.toUtf8();
    plist_t inserted = nodeToInsert(item);  // copied before the old entry (which item may view) goes
    if (plist_t old = plist_dict_get_item(node(), utf8Key.constData()))
        invalidateViewsWithin(treeOwner().data(), old);
    // Replaces and frees an existing entry.
    plist_dict_set_item(node(), utf8Key.constData(), inserted);
    return true;
}

void PlistNode::free()
{
    if (!m_holder || !m_holder->owns || !m_holder->node)
        return;
    invalidateViewsWithin(m_holder.data(), m_holder->node);
    plist_free(m_holder->node);
    m_holder->node = nullptr;
}

QString PlistNode::toXml() const
{
    if (isNull())
        return QString();
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node(), &xml, &length);
    const QString result = QString::fromUtf8(xml, xml ? clampedSize(length) : 0);
    plist_to_xml_free(xml);
    return result;
}

QByteArray PlistNode::toBinary() const
{
    if (isNull())
        return {};
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(node(), &data, &length);
    QByteArray result(data ? data : "", data ? clampedSize(length) : 0);
    plist_to_bin_free(data);
    return result;
}
