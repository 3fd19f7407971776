// Devices against appliances that answer like grabbers: the worker, its jobs and
// notifications, and the record each device writes.
#include "StoreFixture.h"

#include <store/Protect.h>

#include <discovery/Discovery.h>

using namespace storetest;

namespace {

class DeviceTest : public StoreTest {
protected:
    FakeNetwork net;
    QueueTarget target;

    Ambry::Ref<CDevice> NewAt(const char *address)
    {
        Ambry::Ref<CDevice> device = CDevice::CreateNew();
        EXPECT_TRUE(device);
        device->AttachWindow(&target);
        device->SetAddress(address);
        return device;
    }
    std::string RecordText(CDevice *device, const char *sub, const char *name)
    {
        std::string path = std::string("CLSID\\") + device->GuidText() + (sub ? std::string("\\") + sub : "");
        CKey key(OpenKey(HKEY_CLASSES_ROOT, path.c_str(), KEY_READ));
        std::string text = "<missing>";
        if (key)
            ReadText(key.get(), name, &text);
        return text;
    }
};

TEST_F(DeviceTest, ConnectsReadsTheDeviceAndStoresItsRecord)
{
    FakeAppliance appliance;
    appliance.audio = true;
    net.Put("127.0.0.2", 5557, appliance);
    Ambry::Ref<CDevice> device = NewAt("127.0.0.2");
    ASSERT_TRUE(WaitFor([&] { return device->HasConnection() && device->GetFrame(); }));
    EXPECT_TRUE(target.WaitBits(device.get(), NOTIFY_FRAME | NOTIFY_STATE));
    EXPECT_EQ(device->GetSerialNumber(), "SN0001");
    EXPECT_EQ(device->GetName(), "Lab grabber");
    EXPECT_EQ(device->GetDisplayName(), "Lab grabber");
    EXPECT_EQ(device->GetLoginStatus(), LoginOpen);
    VideoMode mode;
    EXPECT_TRUE(device->GetVideoMode(&mode));
    EXPECT_EQ(mode.width, 1024);
    EXPECT_FALSE(device->IsBusy());
    GUID audio;
    EXPECT_TRUE(device->GetAudioClassId(&audio));

    // The worker stored the record (without registration).
    EXPECT_EQ(RecordText(device.get(), "ServerParameters", "SerialNumber"), "SN0001");
    EXPECT_EQ(RecordText(device.get(), "ServerParameters", "Address"), "127.0.0.2");
    EXPECT_EQ(RecordText(device.get(), nullptr, "HumanEnteredName"), "Lab grabber");
    EXPECT_EQ(RecordText(device.get(), "InprocServer32", "ThreadingModel"), "Both");
    char audioText[GUID_TEXT_LENGTH + 1];
    GuidToText(audio, audioText);
    EXPECT_EQ(RecordText(device.get(), nullptr, "AudioGUID"), audioText);
    EXPECT_TRUE(CKey(OpenKey(HKEY_CLASSES_ROOT,
                             (std::string("CLSID\\") + device->GuidText() + "\\AudioParameters").c_str(), KEY_READ)));
    StopAndJoin(device.get());
    EXPECT_EQ(net.Alive(), 0);
}

TEST_F(DeviceTest, AnEmptyDeviceNameShowsModelAndSerial)
{
    FakeAppliance appliance;
    appliance.name = "";
    net.Put("127.0.0.2", 5557, appliance);
    Ambry::Ref<CDevice> device = NewAt("127.0.0.2");
    device->SetName("typed by the user");
    ASSERT_TRUE(WaitFor([&] { return device->HasConnection(); }));
    EXPECT_TRUE(target.WaitBits(device.get(), NOTIFY_NAME | NOTIFY_STATE));
    EXPECT_EQ(device->GetName(), "");
    EXPECT_EQ(device->GetDisplayName(), "Tessaline [SN0001]");
    StopAndJoin(device.get());
    EXPECT_EQ(device->GetDisplayName(), "");
}

TEST_F(DeviceTest, AddressChangesDropTheConnectionAndReconnect)
{
    net.Put("127.0.0.2", 5557, FakeAppliance{});
    FakeAppliance second;
    second.serial = "SN0002";
    net.Put("127.0.0.3", 6000, second);
    Ambry::Ref<CDevice> device = NewAt("127.0.0.2");
    ASSERT_TRUE(WaitFor([&] { return device->HasConnection(); }));
    // The worker has finished what follows a connection (state, frame) once the first
    // frame is in: deliver what it posted before looking.
    ASSERT_TRUE(WaitFor([&] { return !device->IsBusy(); }));
    target.Deliver();

    // The same text again changes nothing.
    int opens = net.Opens();
    device->SetAddress("127.0.0.2");
    EXPECT_EQ(target.Queued(), 0u);
    EXPECT_TRUE(device->HasConnection());

    device->SetAddress("127.0.0.3:6000");
    EXPECT_TRUE(target.WaitBits(device.get(), NOTIFY_ALL));
    ASSERT_TRUE(WaitFor([&] { return device->GetSerialNumber() == "SN0002"; }));
    EXPECT_GT(net.Opens(), opens);
    AddressRecord resolved;
    ASSERT_TRUE(device->GetResolvedAddress(&resolved));
    EXPECT_EQ(ntohs(resolved.port), 6000);
    StopAndJoin(device.get());
    EXPECT_EQ(net.Alive(), 0);
}

TEST_F(DeviceTest, RefusedAndUnresolvableDevicesStopConnecting)
{
    // Nothing answers: the first attempt ends the connecting state.
    Ambry::Ref<CDevice> refused = NewAt("127.0.0.9");
    EXPECT_TRUE(refused->IsBusy());
    ASSERT_TRUE(WaitFor([&] { return !refused->IsConnecting(); }, 4000));
    EXPECT_FALSE(refused->HasConnection());
    EXPECT_EQ(refused->GetLoginStatus(), LoginError);
    EXPECT_FALSE(refused->IsCaptureSource());  // type 0 without a connection
    StopAndJoin(refused.get());

    // An address that does not parse stays unresolved; connecting ends after 10 s.
    Ambry::Ref<CDevice> unresolved = NewAt("127.0.0.9:0");
    target.Deliver();
    ASSERT_TRUE(WaitFor([&] { return !unresolved->IsConnecting(); }, 13000));
    EXPECT_TRUE(target.WaitBits(unresolved.get(), NOTIFY_STATE));
    AddressRecord record;
    EXPECT_FALSE(unresolved->GetResolvedAddress(&record));
    StopAndJoin(unresolved.get());
}

TEST_F(DeviceTest, StopDuringAConnectionAttemptReleasesTheNewConnection)
{
    FakeAppliance slow;
    slow.openDelayMs = 300;
    net.Put("127.0.0.2", 5557, slow);
    Ambry::Ref<CDevice> device = NewAt("127.0.0.2");
    ASSERT_TRUE(WaitFor([&] { return net.Opens() > 0; }));
    device->AttachWindow(nullptr);
    device->Stop();
    ASSERT_TRUE(WaitFor([&] { return device->RefCount() == 1; }));
    EXPECT_FALSE(device->HasConnection());
    EXPECT_EQ(net.Alive(), 0);
}

TEST_F(DeviceTest, NotificationsCoalescePerBitAndWithdrawOnAttach)
{
    net.Put("127.0.0.2", 5557, FakeAppliance{});
    Ambry::Ref<CDevice> device = NewAt("127.0.0.2");
    ASSERT_TRUE(WaitFor([&] { return device->HasConnection() && device->OutstandingFrameRequests() == 0; }));
    target.Deliver();
    ASSERT_EQ(device->NotifyInFlight(), 0u);

    device->SetName("one");
    device->SetName("two");
    device->SetName("three");
    EXPECT_EQ(target.QueuedFor(device.get()), 1u);
    EXPECT_EQ(device->NotifyInFlight() & NOTIFY_NAME, uint32_t{NOTIFY_NAME});

    // Another device's message stays queued when this one moves away.
    Ambry::Ref<CDevice> other = CDevice::CreateNew();
    other->AttachWindow(&target);
    other->SetName("x");
    int32_t before = device->RefCount();
    QueueTarget second;
    device->AttachWindow(&second);
    EXPECT_EQ(target.QueuedFor(device.get()), 0u);
    EXPECT_EQ(target.QueuedFor(other.get()), 1u);
    EXPECT_EQ(device->RefCount(), before - 1);
    EXPECT_EQ(device->NotifyInFlight(), 0u);
    device->SetName("four");
    EXPECT_EQ(second.QueuedFor(device.get()), 1u);
    StopAndJoin(device.get());
    StopAndJoin(other.get());
}

TEST_F(DeviceTest, PasswordChangesLogInAgainOnlyWhereTheDeviceAsks)
{
    FakeAppliance locked;
    locked.login = LoginDenied;
    net.Put("127.0.0.2", 5557, locked);
    Ambry::Ref<CDevice> device = NewAt("127.0.0.2");
    ASSERT_TRUE(WaitFor([&] { return device->HasConnection(); }));
    EXPECT_EQ(device->GetLoginStatus(), LoginDenied);
    ASSERT_TRUE(WaitFor([&] { return device->OutstandingFrameRequests() == 0; }));
    target.Deliver();
    device->SetPassword("right");
    EXPECT_TRUE(target.WaitBits(device.get(), NOTIFY_FRAME | NOTIFY_STATE | NOTIFY_SIGNAL));
    EXPECT_EQ(device->GetLoginStatus(), LoginAccepted);
    EXPECT_EQ(device->GetFrame(), nullptr);
    StopAndJoin(device.get());
}

TEST_F(DeviceTest, RefreshAsksForAModeAndAFrame)
{
    net.Put("127.0.0.2", 5557, FakeAppliance{});
    Ambry::Ref<CDevice> device = NewAt("127.0.0.2");
    ASSERT_TRUE(WaitFor([&] { return device->GetFrame(); }));
    Ambry::Ref<CFrame> first = device->GetFrame();
    target.Deliver();
    device->Refresh();
    EXPECT_TRUE(target.WaitBits(device.get(), NOTIFY_SIGNAL | NOTIFY_FRAME));
    ASSERT_TRUE(WaitFor([&] { return device->GetFrame() && device->GetFrame() != first; }));
    EXPECT_EQ(device->OutstandingFrameRequests(), 0);
    StopAndJoin(device.get());
}

TEST_F(DeviceTest, DiscoveryRecordsSetSerialTypeAndAddress)
{
    DiscoveryRecord record;
    record.address = 0x7F000002;
    record.port = 5557;
    record.device_type = 9;
    std::strcpy(record.serial_number, "DISC42");
    Ambry::Ref<CDevice> device = CDevice::CreateNew(&record);
    EXPECT_EQ(device->GetAddress(), "127.0.0.2");
    EXPECT_EQ(device->GetSerialNumber(), "DISC42");
    EXPECT_FALSE(device->IsCaptureSource());
    AddressRecord resolved;
    EXPECT_TRUE(device->GetResolvedAddress(&resolved));
    device->SetAddressFromRecord(0x7F000003, 6001);
    EXPECT_EQ(device->GetAddress(), "127.0.0.3:6001");
    StopAndJoin(device.get());
}

TEST_F(DeviceTest, RecordsLoadBackWithNonAsciiTextsAndThePassword)
{
    Ambry::Ref<CDevice> device = CDevice::CreateNew();
    device->SetName("Kamera Süd — 東");
    device->SetAddress("127.0.0.77:1234");
    device->SetPassword("pässword");
    StopAndJoin(device.get());
    device->Store(false);

    Ambry::Ref<CDevice> loaded = CDevice::LoadFromStore(device->ClassId().Guid());
    EXPECT_EQ(loaded->GetName(), "Kamera Süd — 東");
    EXPECT_EQ(loaded->GetAddress(), "127.0.0.77:1234");
    EXPECT_EQ(loaded->GetPassword(), "pässword");
    EXPECT_EQ(RecordText(device.get(), nullptr, ""), "Kamera Süd — 東");

    // A device whose class key is missing loads with empty fields.
    Ambry::Ref<CDevice> ghost = CDevice::LoadFromStore(NewGuid());
    EXPECT_EQ(ghost->GetName(), "");
    EXPECT_EQ(ghost->GetAddress(), "");
    EXPECT_EQ(ghost->GetSerialNumber(), "");
}

}  // namespace

namespace {

// An option codec that keeps the scale mode and flags as two values.
void ReadOptions(HKEY key, DirectShowOptions *options)
{
    uint32_t v;
    if (ReadDword(key, "ScaleMode", &v))
        options->scaleMode = static_cast<int32_t>(v);
    if (ReadDword(key, "Flags", &v))
        options->flags = v;
}
void WriteOptions(HKEY key, const DirectShowOptions &options)
{
    WriteDword(key, "ScaleMode", static_cast<uint32_t>(options.scaleMode));
    WriteDword(key, "Flags", options.flags);
}
const DirectShowOptionsCodec kCodec{ReadOptions, WriteOptions};

TEST_F(DeviceTest, OptionsTravelThroughTheInstalledCodec)
{
    const DirectShowOptionsCodec *previous = GetDirectShowOptionsCodec();
    SetDirectShowOptionsCodec(&kCodec);
    Ambry::Ref<CDevice> device = CDevice::CreateNew();
    DirectShowOptions options;
    device->GetDirectShowOptions(&options);
    EXPECT_EQ(options.scaleMode, 3);  // a new device's default
    options.scaleMode = 11;
    options.flags = OPT_FLIP_VERTICAL;
    // No record yet: nothing to apply to, but the device keeps the options.
    EXPECT_FALSE(device->ApplyDirectShowOptions(options));
    StopAndJoin(device.get());
    device->Store(false);
    options.flags |= OPT_LIMIT_FPS;
    EXPECT_TRUE(device->ApplyDirectShowOptions(options));

    Ambry::Ref<CDevice> loaded = CDevice::LoadFromStore(device->ClassId().Guid());
    DirectShowOptions back;
    loaded->GetDirectShowOptions(&back);
    EXPECT_EQ(back.scaleMode, 11);
    EXPECT_EQ(back.flags, uint32_t{OPT_FLIP_VERTICAL | OPT_LIMIT_FPS});
    SetDirectShowOptionsCodec(previous);
}

}  // namespace
