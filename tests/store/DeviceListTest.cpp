// The device list: set operations, listeners, and saving and loading the whole list
// with registration through the filter module beside the program.
#include "StoreFixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

using namespace storetest;

namespace {

class ListTest : public StoreTest {
protected:
    FakeNetwork net;
    QueueTarget target;

    void TearDown() override
    {
        StoreTest::TearDown();
        SetProgramPath(nullptr);
    }

    static std::vector<std::string> Items()
    {
        std::vector<std::string> items;
        CKey key(OpenKey(HKEY_CURRENT_USER, DEVICES_KEY_PATH, KEY_READ));
        char name[STORE_VALUE_NAME_BUFFER];
        for (uint32_t i = 0; key && StoreEnumValue(key.get(), i, name, sizeof(name)); ++i) {
            std::string text;
            ReadText(key.get(), name, &text);
            items.push_back(std::string(name) + "=" + text);
        }
        return items;
    }
    static bool KeyExists(const std::string &path)
    {
        return static_cast<bool>(CKey(OpenKey(HKEY_CLASSES_ROOT, path.c_str(), KEY_READ)));
    }
    static std::string VideoInstance(const char *guid)
    {
        return std::string("CLSID\\{860BB310-5D01-11d0-BD3B-00A0C911CE86}\\Instance\\") + guid;
    }
    static void StopAll(CDeviceList &list)
    {
        Ambry::CLock lock(list.Mutex());
        for (size_t i = 0; i < list.Active().Count(); ++i)
            list.Active().At(i)->AttachWindow(nullptr), list.Active().At(i)->Stop();
    }
};

class RecordingListener : public CDeviceListListener {
public:
    RecordingListener(std::string tag, std::vector<std::string> *log) : m_tag(std::move(tag)), m_log(log) {}
    void OnDeviceAdded(CDeviceSet *, CDevice *) override { m_log->push_back(m_tag + ":added"); }
    void OnDeviceRemoved(CDeviceSet *, CDevice *device) override
    {
        // The device is still alive while listeners hear of it.
        m_log->push_back(m_tag + ":removed" + (device->RefCount() > 0 ? "" : "?"));
    }
    void OnDeviceListCleared(CDeviceSet *) override { m_log->push_back(m_tag + ":cleared"); }

private:
    std::string m_tag;
    std::vector<std::string> *m_log;
};

TEST_F(ListTest, SetsTellListenersLastRegisteredFirst)
{
    std::vector<std::string> log;
    RecordingListener a("a", &log), b("b", &log);
    Ambry::Ref<CDevice> d1 = CDevice::CreateNew(), d2 = CDevice::CreateNew(), d3 = CDevice::CreateNew();
    {
    CDeviceList list;
    list.Active().AddListener(&a);
    list.Active().AddListener(&b);
    list.Add(d1.get());
    list.Add(d1.get());  // already there: nothing
    EXPECT_EQ(log, (std::vector<std::string>{"b:added", "a:added"}));
    EXPECT_TRUE(list.IsDirty());
    log.clear();

    // With one device, remove-all is exactly one removal.
    list.RemoveAll();
    EXPECT_EQ(log, (std::vector<std::string>{"b:removed", "a:removed"}));
    list.RemoveAll();  // empty: nothing
    log.clear();
    list.Add(d2.get());
    list.Add(d3.get());
    log.clear();
    list.RemoveAll();
    EXPECT_EQ(log, (std::vector<std::string>{"b:cleared", "a:cleared"}));
    EXPECT_EQ(list.Removed().Count(), 3u);
    }
    for (CDevice *d : {d1.get(), d2.get(), d3.get()})
        StopAndJoin(d);
}

TEST_F(ListTest, SetsFindBySerialAndAddress)
{
    CDeviceSet set;
    DiscoveryRecord r1{}, r2{};
    r1.address = 0x7F000002;
    r1.port = 5557;
    std::strcpy(r1.serial_number, "AAA");
    r2.address = 0x7F000003;
    r2.port = 6000;
    std::strcpy(r2.serial_number, "BBB");
    Ambry::Ref<CDevice> d1 = CDevice::CreateNew(&r1), d2 = CDevice::CreateNew(&r2), d3 = CDevice::CreateNew();
    set.Add(d1.get());
    set.Add(d2.get());
    set.Add(d3.get());
    EXPECT_EQ(set.FindBySerial("BBB"), d2.get());
    EXPECT_EQ(set.FindBySerial("bbb"), nullptr);
    EXPECT_EQ(set.FindBySerial(""), nullptr);
    EXPECT_EQ(set.FindByAddress(0x7F000003, 0), d2.get());
    EXPECT_EQ(set.FindByAddress(0x7F000003, 6000), d2.get());
    EXPECT_EQ(set.FindByAddress(0x7F000003, 5557), nullptr);
    EXPECT_EQ(set.FindByAddress(0, 0), nullptr);
    set.SetNotifyTarget(&target);
    EXPECT_EQ(d3->AttachedWindow(), &target);
    set.Clear();
    EXPECT_EQ(d3->AttachedWindow(), nullptr);
    for (CDevice *d : {d1.get(), d2.get(), d3.get()})
        StopAndJoin(d);
}

TEST_F(ListTest, SearchRepliesMergeIntoTheActiveSet)
{
    CDeviceList list;
    std::vector<std::string> log;
    RecordingListener listener("active", &log);
    list.Active().AddListener(&listener);
    DiscoveryRecord reply{};
    reply.address = 0x7F000002;
    reply.port = 0;
    reply.device_type = 3;
    std::strcpy(reply.serial_number, "AAA");

    EXPECT_EQ(list.MergeDiscoveryRecord(reply), MergeAdded);
    EXPECT_EQ(log, (std::vector<std::string>{"active:added"}));
    EXPECT_TRUE(list.IsDirty());
    Ambry::Ref<CDevice> device = list.FindBySerial("AAA");
    ASSERT_TRUE(device);
    EXPECT_EQ(device->GetAddress(), "127.0.0.2");
    EXPECT_EQ(list.MergeDiscoveryRecord(reply), MergeUnchanged);

    // Known serial, new address: the device follows; another serial from a known
    // address adds nothing.
    list.Save();
    reply.address = 0x7F000003;
    reply.port = 6000;
    EXPECT_EQ(list.MergeDiscoveryRecord(reply), MergeAddressChanged);
    EXPECT_EQ(device->GetAddress(), "127.0.0.3:6000");
    EXPECT_TRUE(list.IsDirty());
    ASSERT_TRUE(WaitFor([&] { return list.FindByAddress(0x7F000003, 6000) == device; }));
    std::strcpy(reply.serial_number, "BBB");
    EXPECT_EQ(list.MergeDiscoveryRecord(reply), MergeUnchanged);
    {
        Ambry::CLock lock(list.Mutex());
        EXPECT_EQ(list.Active().Count(), 1u);
        list.Active().RemoveListener(&listener);
    }
    StopAll(list);
}

TEST_F(ListTest, SavingAfterRemovingTheMiddleDeviceRenumbers)
{
    std::vector<std::string> guids;
    {
        CDeviceList list;
        for (int i = 0; i < 3; ++i) {
            Ambry::Ref<CDevice> d = CDevice::CreateNew();
            d->SetName(("dev" + std::to_string(i)).c_str());
            guids.push_back(d->GuidText());
            list.Add(d.get());
        }
        ASSERT_TRUE(list.Save());
        EXPECT_FALSE(list.IsDirty());
        EXPECT_EQ(Items(), (std::vector<std::string>{"Item000=" + guids[0], "Item001=" + guids[1],
                                                     "Item002=" + guids[2]}));
        Ambry::Ref<CDevice> middle = Ambry::Retain(list.Active().At(1));
        list.Remove(middle.get());
        EXPECT_TRUE(KeyExists("CLSID\\" + guids[1]));  // still registered until the save
        ASSERT_TRUE(list.Save());
        EXPECT_TRUE(middle->IsStopped());
        EXPECT_EQ(list.Removed().Count(), 0u);
        EXPECT_EQ(Items(), (std::vector<std::string>{"Item000=" + guids[0], "Item001=" + guids[2]}));
        EXPECT_FALSE(KeyExists("CLSID\\" + guids[1]));
        StopAll(list);
    }
    // Loading gives the same devices in the same order.
    CDeviceList loaded;
    loaded.Load();
    ASSERT_EQ(loaded.Active().Count(), 2u);
    EXPECT_EQ(loaded.Active().At(0)->GetName(), "dev0");
    EXPECT_EQ(loaded.Active().At(1)->GuidText(), guids[2]);
    EXPECT_FALSE(loaded.IsDirty());
    StopAll(loaded);
}

TEST_F(ListTest, LoadingSkipsBadEntriesAndStopsAtNonText)
{
    Ambry::Ref<CDevice> a = CDevice::CreateNew(), b = CDevice::CreateNew();
    std::string ga = a->GuidText(), gb = b->GuidText();
    StopAndJoin(a.get());
    StopAndJoin(b.get());
    {
        CKey key(CreateKeyPath(HKEY_CURRENT_USER, DEVICES_KEY_PATH));
        WriteText(key.get(), "Item000", ga.c_str());
        WriteText(key.get(), "Item001", "not a guid");
        WriteText(key.get(), "Item002", ga.c_str());  // the same device twice
        WriteText(key.get(), std::string(300, 'L').c_str(), gb.c_str());
        WriteDword(key.get(), "Item003", 1);
        WriteText(key.get(), "Item004", gb.c_str());
    }
    CDeviceList list;
    list.Load();
    ASSERT_EQ(list.Active().Count(), 1u);
    EXPECT_EQ(list.Active().At(0)->GuidText(), ga);
    StopAll(list);
}

TEST_F(ListTest, NumbersPastNineHundredNinetyNineWork)
{
    {
        CKey key(CreateKeyPath(HKEY_CURRENT_USER, DEVICES_KEY_PATH));
        for (int i = 0; i < 1003; ++i) {
            char name[16];
            std::snprintf(name, sizeof(name), "Item%03d", i);
            WriteText(key.get(), name, "x");
        }
    }
    CDeviceList list;
    Ambry::Ref<CDevice> d = CDevice::CreateNew();
    list.Add(d.get());
    // The stale scan ends 20 numbers after the last one it found: every number goes.
    ASSERT_TRUE(list.Save());
    EXPECT_EQ(Items(), (std::vector<std::string>{std::string("Item000=") + d->GuidText()}));
    StopAll(list);
}

TEST_F(ListTest, RegistrationWaitsForAConnectedCaptureSource)
{
    ASSERT_TRUE(std::filesystem::exists(std::string(TESSALINE_BIN_DIR) + "/Tessaline.ax"));
    SetProgramPath(TESSALINE_BIN_DIR "/tessaline-setup");
    CDeviceList list;
    list.SetNotifyTarget(&target);
    Ambry::Ref<CDevice> d = CDevice::CreateNew();
    ASSERT_TRUE(d->HasRegisterEntry());
    d->SetAddress("127.0.0.2");
    list.Add(d.get());
    ASSERT_TRUE(list.Save());
    EXPECT_TRUE(KeyExists(std::string("CLSID\\") + d->GuidText()));
    EXPECT_FALSE(KeyExists(VideoInstance(d->GuidText())));

    FakeAppliance appliance;
    appliance.audio = true;
    net.Put("127.0.0.2", 5557, appliance);
    ASSERT_TRUE(WaitFor([&] { return d->HasConnection(); }));
    ASSERT_TRUE(list.Save());
    EXPECT_TRUE(KeyExists(VideoInstance(d->GuidText())));
    CKey instance(OpenKey(HKEY_CLASSES_ROOT, VideoInstance(d->GuidText()).c_str(), KEY_READ));
    std::string friendly;
    EXPECT_TRUE(ReadText(instance.get(), "FriendlyName", &friendly));
    EXPECT_EQ(friendly, "Lab grabber");
    GUID audio;
    ASSERT_TRUE(d->GetAudioClassId(&audio));
    char audioText[GUID_TEXT_LENGTH + 1];
    GuidToText(audio, audioText);
    std::string audioInstance = std::string("CLSID\\{33D9A762-90C8-11D0-BD43-00A0C911CE86}\\Instance\\") + audioText;
    EXPECT_TRUE(KeyExists(audioInstance));

    // Removing it deletes every tree of both identifiers.
    list.Remove(d.get());
    ASSERT_TRUE(list.Save());
    for (const char *prefix : {"CLSID\\", "CLSID\\{860BB310-5D01-11d0-BD3B-00A0C911CE86}\\Instance\\",
                               "CLSID\\{33D9A762-90C8-11D0-BD43-00A0C911CE86}\\Instance\\",
                               "CLSID\\{083863F1-70DE-11d0-BD40-00A0C911CE86}\\Instance\\"}) {
        EXPECT_FALSE(KeyExists(std::string(prefix) + d->GuidText())) << prefix;
        EXPECT_FALSE(KeyExists(std::string(prefix) + audioText)) << prefix;
    }
    ASSERT_TRUE(WaitFor([&] { return d->RefCount() == 1; }));
}

TEST_F(ListTest, ModelsThatAreNoCaptureSourceAreNeverRegistered)
{
    SetProgramPath(TESSALINE_BIN_DIR "/tessaline-setup");
    FakeAppliance dorrivan;
    dorrivan.type = 9;
    dorrivan.captureSource = false;
    net.Put("127.0.0.2", 5557, dorrivan);
    CDeviceList list;
    Ambry::Ref<CDevice> d = CDevice::CreateNew();
    d->SetAddress("127.0.0.2");
    list.Add(d.get());
    ASSERT_TRUE(WaitFor([&] { return d->HasConnection(); }));
    ASSERT_TRUE(list.Save());
    EXPECT_TRUE(KeyExists(std::string("CLSID\\") + d->GuidText()));
    EXPECT_FALSE(KeyExists(VideoInstance(d->GuidText())));
    StopAll(list);
}

TEST_F(ListTest, TheFilterPathFollowsTheProgram)
{
    SetProgramPath("/opt/first/tessaline-setup");
    CDeviceList list;
    Ambry::Ref<CDevice> d = CDevice::CreateNew();
    list.Add(d.get());
    ASSERT_TRUE(list.Save());
    StopAll(list);
    std::string guid = d->GuidText();
    auto inproc = [&] {
        CKey key(OpenKey(HKEY_CLASSES_ROOT, ("CLSID\\" + guid + "\\InprocServer32").c_str(), KEY_READ));
        std::string text;
        ReadText(key.get(), nullptr, &text);
        return text;
    };
    EXPECT_EQ(inproc(), "/opt/first/Tessaline.ax");

    SetProgramPath("/srv/moved/tessaline-setup");
    CDeviceList again;
    again.Load();
    ASSERT_TRUE(again.Save());
    EXPECT_EQ(inproc(), "/srv/moved/Tessaline.ax");
    StopAll(again);
}

// A child saves a changing list in a loop and is killed at random moments; every
// time, the store opens and holds one complete list.
TEST_F(ListTest, AKilledSaveLeavesTheOldListOrTheNew)
{
    std::mt19937 random(12345);
    StoreClose();
    for (int round = 0; round < 50; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            SetDeviceIOOpener(nullptr, nullptr);
            CDeviceList list;
            std::vector<Ambry::Ref<CDevice>> devices;
            for (int i = 0;; ++i) {
                // Grow to 12 devices, then shrink by one, over and over.
                if (list.Active().Count() >= 12) {
                    list.Remove(list.Active().At(0));
                } else {
                    Ambry::Ref<CDevice> d = CDevice::LoadFromStore(NewGuid());
                    d->SetName(("n" + std::to_string(i)).c_str());
                    list.Add(d.get());
                }
                list.Save();
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 40000));
        kill(child, SIGKILL);
        int status;
        waitpid(child, &status, 0);

        // A complete list: contiguous numbers from 000, every entry with its record.
        StoreClose();
        CKey key(OpenKey(HKEY_CURRENT_USER, DEVICES_KEY_PATH, KEY_READ));
        if (!key)
            continue;  // killed before the first save ended
        char name[STORE_VALUE_NAME_BUFFER];
        uint32_t count = 0;
        for (; StoreEnumValue(key.get(), count, name, sizeof(name)); ++count) {
            char expected[16];
            std::snprintf(expected, sizeof(expected), "Item%03u", count);
            ASSERT_STREQ(name, expected) << "round " << round;
            std::string guid;
            ASSERT_TRUE(ReadText(key.get(), name, &guid));
            ASSERT_TRUE(KeyExists("CLSID\\" + guid + "\\ServerParameters")) << "round " << round;
        }
        EXPECT_GE(count, 1u);
        EXPECT_LE(count, 12u);
    }
}

}  // namespace
