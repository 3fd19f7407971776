// Search results reaching the list, and the search's life in the list pane. The
// search itself broadcasts, so those tests run only inside the private network
// namespace that CTest makes for them (a veth pair inside it, nothing reaches a real
// network); elsewhere they are skipped.
#include "AppTest.h"

#include <discovery/Discovery.h>

#include <QPushButton>

#include <cstdlib>
#include <cstring>

using namespace AppTest;
using namespace Tessaline::Ui;

namespace {

DiscoveryRecord Found(const char *serial, uint32_t address, uint16_t port)
{
    DiscoveryRecord record;
    std::strncpy(record.serial_number, serial, sizeof(record.serial_number) - 1);
    record.address = address;
    record.port = port;
    record.device_type = 3;
    return record;
}

constexpr uint32_t kAddress = (127u << 24) | 1;  // 127.0.0.1: nothing answers on its port 9

class FoundTest : public AppFixture {};

TEST_F(FoundTest, FoundRecordsAreMergedIntoTheList)
{
    ShowFrame();
    ASSERT_TRUE(m_frame->NotifyTarget()->PostDeviceFound(Found("SER-1", kAddress, 9)));
    ASSERT_TRUE(WaitFor([this] { return Rows()->count() == 1; }));
    ASSERT_EQ(ActiveCount(), 1u);
    CDevice *device = ActiveAt(0);
    EXPECT_EQ(device->GetSerialNumber(), "SER-1");
    EXPECT_EQ(device->GetAddress(), "127.0.0.1:9");
    EXPECT_TRUE(List().IsDirty());
    // The first device found does not become current by itself.
    EXPECT_EQ(m_doc->CurrentDevice(), nullptr);

    // Found again: still one; found at a new address: the address follows.
    List().Save();
    ASSERT_TRUE(m_frame->NotifyTarget()->PostDeviceFound(Found("SER-1", kAddress, 9)));
    ASSERT_TRUE(m_frame->NotifyTarget()->PostDeviceFound(Found("SER-1", kAddress, 5557)));
    ASSERT_TRUE(WaitFor([&] { return device->GetAddress() == "127.0.0.1"; }));
    EXPECT_EQ(ActiveCount(), 1u);
    EXPECT_TRUE(List().IsDirty());

    // The one device of the list is what "Remove All Devices" means even though no
    // device is current yet: it is asked about and removed.
    ASSERT_EQ(m_doc->CurrentDevice(), nullptr);
    m_frame->Router()->SendCommand(ID_DEVICE_REMOVE_ALL);
    ASSERT_EQ(m_answers.questions.size(), 1u);
    EXPECT_TRUE(m_answers.questions[0].startsWith(QStringLiteral("Are you sure to delete device")));
    EXPECT_EQ(ActiveCount(), 0u);
    EXPECT_FALSE(List().IsDirty());
}

class SearchInNamespace : public AppFixture {
protected:
    void SetUp() override
    {
        if (!std::getenv("TESSALINE_PRIVATE_NETNS"))
            GTEST_SKIP() << "runs only inside its private network namespace (CTest app_search_in_namespace)";
        AppFixture::SetUp();
    }
};

TEST_F(SearchInNamespace, CaptionTurnsBackAfterTheTimeOutAndAChangedListIsSaved)
{
    SetTimerScalePercent(2);  // 20 s become 400 ms
    ShowFrame();
    QPushButton *search = Pane()->SearchButton();
    QTest::mouseClick(search, Qt::LeftButton);
    ASSERT_TRUE(List().IsSearching());
    EXPECT_EQ(search->text(), QStringLiteral("Cancel"));

    ASSERT_TRUE(m_frame->NotifyTarget()->PostDeviceFound(Found("SER-9", kAddress, 9)));
    ASSERT_TRUE(WaitFor([this] { return ActiveCount() == 1; }));
    EXPECT_TRUE(List().IsDirty());

    ASSERT_TRUE(WaitFor([&] { return search->text() == QStringLiteral("Search"); }, 5000));
    EXPECT_FALSE(List().IsSearching());
    EXPECT_FALSE(List().IsDirty());
    EXPECT_FALSE(Pane()->IsTimerRunning(CLeftPane::kSearchTimer));

    // "Cancel" ends a search at once; the pending time-out then does nothing to a
    // search started later, which gets a full time-out of its own.
    QTest::mouseClick(search, Qt::LeftButton);
    ASSERT_EQ(search->text(), QStringLiteral("Cancel"));
    QTest::mouseClick(search, Qt::LeftButton);
    EXPECT_EQ(search->text(), QStringLiteral("Search"));
    EXPECT_FALSE(List().IsSearching());
    QTest::mouseClick(search, Qt::LeftButton);
    EXPECT_EQ(search->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(Pane()->TimerPeriod(CLeftPane::kSearchTimer), 20000);
    ASSERT_TRUE(WaitFor([&] { return search->text() == QStringLiteral("Search"); }, 5000));
}

}  // namespace
