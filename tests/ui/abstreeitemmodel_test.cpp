#include "ui/abstreeitemmodel.h"

#include <QAbstractItemModelTester>
#include <QPersistentModelIndex>
#include <QSignalSpy>
#include <QTreeView>

#include <gtest/gtest.h>

namespace {

using Node = AbsTreeItemModel::_ItemNode;

// Two columns: the name, and the number of children.
class TwoColumnModel : public AbsTreeItemModel {
public:
    TwoColumnModel()
    {
        for (const char* rootName : {"A", "B", "C"}) {
            Node* root = add(nullptr, QString::fromLatin1(rootName));
            for (int i = 0; i < 3; ++i) {
                Node* child = add(root, root->name + QString::number(i));
                if (i == 1)
                    add(child, child->name + QStringLiteral("x"));
            }
        }
    }

    Node* add(Node* parent, const QString& name)
    {
        return appendNode(parent, std::make_unique<Node>(0, name, parent));
    }
    Node* root(int row) const { return roots.at(static_cast<size_t>(row)).get(); }

    int columnCount(const QModelIndex& = QModelIndex()) const override { return 2; }
    QVariant data(const QModelIndex& index, int role) const override
    {
        const Node* node = nodeOf(index);
        if (!node || role != Qt::DisplayRole)
            return {};
        return index.column() == 0 ? QVariant(node->name) : QVariant(int(node->children.size()));
    }
};

// Collects what QAbstractItemModelTester complains about, so a fault fails the test instead of
// aborting the whole run.
class ModelWarnings {
public:
    ModelWarnings() { s_messages.clear(); m_previous = qInstallMessageHandler(&ModelWarnings::handle); }
    ~ModelWarnings() { qInstallMessageHandler(m_previous); }
    static const QStringList& messages() { return s_messages; }

private:
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& message)
    {
        if (type != QtDebugMsg && type != QtInfoMsg)
            s_messages.append(message);
    }
    static QStringList s_messages;
    QtMessageHandler m_previous;
};
QStringList ModelWarnings::s_messages;

TEST(AbsTreeItemModel, AnswersStructuralQuestionsFromTheTree)
{
    TwoColumnModel model;
    EXPECT_EQ(model.rowCount(), 3);
    const QModelIndex b = model.index(1, 0);
    EXPECT_EQ(model.data(b, Qt::DisplayRole).toString(), QStringLiteral("B"));
    EXPECT_FALSE(model.parent(b).isValid());
    EXPECT_EQ(model.rowCount(b), 3);
    EXPECT_EQ(model.rowCount(model.index(1, 1)), 0);  // only column 0 has children
    EXPECT_FALSE(model.index(0, 0, model.index(1, 1)).isValid());
    EXPECT_EQ(model.rowCount(model.index(0, 0, b)), 0);  // a leaf

    // A parent asked for through column 1 still comes back in column 0.
    const QModelIndex b1col1 = model.index(1, 1, b);
    const QModelIndex parentOfB1 = model.parent(b1col1);
    EXPECT_EQ(parentOfB1, b);

    // A node no view has asked for yet.
    Node* c2 = model.root(2)->children.at(2).get();
    EXPECT_EQ(model.indexOfNode(c2), model.index(2, 0, model.index(2, 0)));
    EXPECT_FALSE(model.indexOfNode(nullptr).isValid());
    const Node stranger(0, QStringLiteral("x"), nullptr);
    EXPECT_FALSE(model.indexOfNode(&stranger).isValid());

    const QList<Node*> all = model.allNodes();
    ASSERT_EQ(all.size(), 15);
    EXPECT_EQ(all[0]->name, QStringLiteral("A"));
    EXPECT_EQ(all[3]->name, QStringLiteral("A1x"));
    EXPECT_EQ(all[5]->name, QStringLiteral("B"));
}

TEST(AbsTreeItemModel, RemovalsAreAnnouncedAndKeepIndexesRight)
{
    const ModelWarnings warnings;
    TwoColumnModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);
    QTreeView view;
    view.setModel(&model);
    view.expandAll();
    QSignalSpy removals(&model, &QAbstractItemModel::rowsAboutToBeRemoved);

    // Remember C's last child at column 1, then remove an earlier sibling of C.
    const QPersistentModelIndex c2(model.index(2, 1, model.index(2, 0)));
    const QPersistentModelIndex c(model.index(2, 0));
    model.removeNode(model.root(1));
    ASSERT_EQ(removals.count(), 2);  // B's children, then B
    EXPECT_EQ(removals[0][1].toInt(), 0);
    EXPECT_EQ(removals[0][2].toInt(), 2);
    EXPECT_EQ(removals[1][0].value<QModelIndex>(), QModelIndex());
    EXPECT_EQ(removals[1][1].toInt(), 1);

    ASSERT_TRUE(c.isValid());
    EXPECT_EQ(c.row(), 1);
    EXPECT_EQ(model.parent(c2), QModelIndex(c));
    EXPECT_EQ(model.indexOfNode(model.root(1)), QModelIndex(c));

    // A middle child with its own child, then everything at once.
    model.removeNode(model.root(0)->children.at(1).get());
    EXPECT_EQ(model.rowCount(model.index(0, 0)), 2);
    removals.clear();
    model.removeChildren(nullptr);
    ASSERT_EQ(removals.count(), 1);
    EXPECT_EQ(removals[0][1].toInt(), 0);
    EXPECT_EQ(removals[0][2].toInt(), 1);
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_FALSE(c.isValid());

    removals.clear();
    model.removeChildren(nullptr);
    EXPECT_EQ(removals.count(), 0);
    EXPECT_TRUE(ModelWarnings::messages().isEmpty()) << ModelWarnings::messages().join('\n').toStdString();
}

TEST(AbsTreeItemModel, InsertionsAndChangesPassTheModelTester)
{
    const ModelWarnings warnings;
    TwoColumnModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);
    QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);

    Node* d = model.add(nullptr, QStringLiteral("D"));
    model.add(d, QStringLiteral("D0"));
    model.emitNodeChanged(d);
    model.emitNodeChanged(d->children.front().get());
    model.emitLayoutChanged();
    EXPECT_EQ(changes.count(), 3);  // D's row, D's children, D0's row
    EXPECT_EQ(model.rowCount(), 4);
    EXPECT_TRUE(ModelWarnings::messages().isEmpty()) << ModelWarnings::messages().join('\n').toStdString();
}

}  // namespace
