// Attachment copies checked when used: the same answers as the check a reader used to run per row.
#include "msgdb/attachmentpath.h"

#include "fixtures/temp_home.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

class AttachmentLocationTest : public TempHomeTest {
protected:
    void SetUp() override
    {
        TempHomeTest::SetUp();
        m_relay = homePath(QStringLiteral("relay"));
        ASSERT_TRUE(QDir().mkpath(attachments(QStringLiteral("ab/01/A1"))));
        ASSERT_TRUE(QDir().mkpath(homePath(QStringLiteral("outside"))));
        QFile file(attachments(QStringLiteral("ab/01/A1/IMG1.jpg")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(QFile::link(homePath(QStringLiteral("outside")), attachments(QStringLiteral("out"))));
        ASSERT_TRUE(QFile::link(homePath(QStringLiteral("gone")), attachments(QStringLiteral("dangling"))));
        m_folder = QSharedPointer<ContainedFolder>::create(m_relay);
    }
    QString attachments(const QString& relative) const
    {
        return m_relay + QStringLiteral("/var/mobile/Library/SMS/Attachments/") + relative;
    }
    QString lazy(const QString& filename) const { return AttachmentLocation(m_folder, filename).path(); }

    QString m_relay;
    QSharedPointer<const ContainedFolder> m_folder;
};

TEST_F(AttachmentLocationTest, RefusesWhatTheReadTimeCheckRefused)
{
    const QStringList kept = {QStringLiteral("~/Library/SMS/Attachments/ab/01/A1/IMG1.jpg"),
                              QStringLiteral("/var/mobile/Library/SMS/Attachments/ab/01/A1/missing.jpg"),
                              QStringLiteral("~/Library/SMS/Attachments/new/x?.jpg")};
    const QStringList refused = {QString(),
                                 QStringLiteral("~/../../x"),
                                 QStringLiteral("//etc/passwd"),
                                 QStringLiteral("var\\..\\..\\x"),
                                 QStringLiteral("~/Library/SMS/Attachments/out/x.jpg"),
                                 QStringLiteral("~/Library/SMS/Attachments/out"),
                                 QStringLiteral("~/Library/SMS/Attachments/dangling/x.jpg")};
    for (const QString& filename : kept + refused) {
        const QString eager = attachmentLocalPath(QDir(m_relay), filename);
        EXPECT_EQ(lazy(filename), eager) << filename.toStdString();
        EXPECT_EQ(eager.isEmpty(), refused.contains(filename)) << filename.toStdString();
    }
    EXPECT_EQ(AttachmentLocation(QStringLiteral("/made/by/caller")).path(), QStringLiteral("/made/by/caller"));
}

TEST_F(AttachmentLocationTest, ALinkMadeAfterTheReadIsRefusedWhenTheFileIsUsed)
{
    const AttachmentLocation location(m_folder, QStringLiteral("~/Library/SMS/Attachments/later/x.jpg"));
    EXPECT_EQ(location.path(), attachments(QStringLiteral("later/x.jpg")));
    ASSERT_TRUE(QFile::link(homePath(QStringLiteral("outside")), attachments(QStringLiteral("later"))));
    EXPECT_TRUE(location.path().isEmpty());
}

}  // namespace
