// The store under injected faults: every SQLite step and every commit of a save fails
// once in turn. A failed save reports failure and leaves the previous state whole; a
// failed read reports failure instead of a shorter answer.
#include "../store/StoreFixture.h"

#include <RegText.h>

#include <cstdio>
#include <string>

#include "ambry/FaultInject.h"

using Ambry::FaultKind;

namespace {

// Runs scenario(n) for n = 1, 2, ... until a run no longer reaches the Nth call of
// kind; scenario arms the fault (FaultArm(kind, n)) right before the operation under
// test and returns FaultFired().
template <typename Scenario>
void ForEveryCall(FaultKind kind, Scenario scenario)
{
    for (uint64_t n = 1;; ++n) {
        const bool fired = scenario(n);
        Ambry::FaultArm(kind, 0);
        if (!fired) {
            EXPECT_GT(n, 1u) << "the scenario never reached a fault point";
            return;
        }
        ASSERT_LT(n, 100000u) << "the scenario does not end";
    }
}

class StoreFaults : public storetest::StoreTest {
protected:
    void TearDown() override
    {
        Ambry::FaultArm(FaultKind::StoreStep, 0);
        StoreTest::TearDown();
    }

    // An empty store in a new file.
    void Fresh()
    {
        StoreClose();
        for (const char *suffix : {"", "-wal", "-shm"})
            std::remove((Dir() + "/registry.db" + suffix).c_str());
    }

    // The whole store as export text, read without faults.
    static std::string Everything()
    {
        Ambry::FaultArm(FaultKind::StoreStep, 0);
        std::string text;
        RegText::WalkReport report;
        RegText::ExportKey(HKEY_CURRENT_USER, "", &text, &report);
        RegText::ExportKey(HKEY_CLASSES_ROOT, "", &text, &report);
        EXPECT_TRUE(report.Complete());
        return text;
    }

    // A device list of count entries with one record each, named after version.
    static std::vector<RegText::Op> DeviceList(int count, char version)
    {
        std::string text = "REGEDIT4\n[-HKEY_CURRENT_USER\\SOFTWARE\\T\\Devices]\n"
                           "[HKEY_CURRENT_USER\\SOFTWARE\\T\\Devices]\n";
        for (int i = 0; i < count; ++i)
            text += "\"Item00" + std::to_string(i) + "\"=\"{" + version + std::to_string(i) + "}\"\n";
        for (int i = 0; i < count; ++i)
            text += "[HKEY_CLASSES_ROOT\\CLSID\\{" + std::string(1, version) + std::to_string(i) +
                    "}\\ServerParameters]\n\"Address\"=\"10.0.0." + std::to_string(i) +
                    "\"\n\"DeviceType\"=dword:00000003\n";
        std::vector<RegText::Op> ops;
        RegText::ParseError error;
        EXPECT_TRUE(RegText::ParseImport(text, &ops, &error)) << error.message;
        return ops;
    }
};

TEST_F(StoreFaults, AFailedSaveLeavesThePreviousListWhole)
{
    const std::vector<RegText::Op> next = DeviceList(4, 'B');
    for (FaultKind kind : {FaultKind::StoreStep, FaultKind::StoreCommit}) {
        std::string message;
        Fresh();
        ASSERT_TRUE(RegText::ApplyImport(DeviceList(3, 'A'), &message)) << message;
        const std::string before = Everything();
        ForEveryCall(kind, [&](uint64_t n) {
            message.clear();
            Ambry::FaultArm(kind, n);
            const bool saved = RegText::ApplyImport(next, &message);
            const bool fired = Ambry::FaultFired();
            const std::string after = Everything();
            if (!fired) {
                EXPECT_TRUE(saved) << message;
                EXPECT_NE(after.find("{B3}"), std::string::npos);
                EXPECT_EQ(after.find("Item002\"=\"{A2}"), std::string::npos);
                return false;
            }
            EXPECT_FALSE(saved) << Ambry::FaultKindName(kind) << " " << n << " failed but the save succeeded";
            EXPECT_FALSE(message.empty());
            EXPECT_EQ(after, before) << Ambry::FaultKindName(kind) << " " << n;
            return true;
        });
    }
}

TEST_F(StoreFaults, AFailedReadSaysSoInsteadOfAnsweringShort)
{
    std::string message;
    ASSERT_TRUE(RegText::ApplyImport(DeviceList(3, 'A'), &message)) << message;
    const std::string whole = Everything();

    ForEveryCall(FaultKind::StoreStep, [&](uint64_t n) {
        std::string text;
        RegText::WalkReport report;
        Ambry::FaultArm(FaultKind::StoreStep, n);
        const bool found = RegText::ExportKey(HKEY_CURRENT_USER, "", &text, &report) &&
                           RegText::ExportKey(HKEY_CLASSES_ROOT, "", &text, &report);
        const bool fired = Ambry::FaultFired();
        Ambry::FaultArm(FaultKind::StoreStep, 0);
        // Either the failure is reported, or the fault struck where it did no harm and
        // the answer is whole; never a short answer given as complete.
        if (found && report.Complete())
            EXPECT_EQ(text, whole) << "step " << n;
        else
            EXPECT_TRUE(fired) << "step " << n;
        return fired;
    });
}

// The device list's own save: records and the numbered list in one transaction.
TEST_F(StoreFaults, AFailedDeviceListSaveLeavesThePreviousListWhole)
{
    SetDeviceIOOpener(nullptr, nullptr);
    for (FaultKind kind : {FaultKind::StoreStep, FaultKind::StoreCommit}) {
        Fresh();
        std::vector<GUID> guids;
        {
            CDeviceList list;
            for (int i = 0; i < 3; ++i) {
                guids.push_back(NewGuid());
                Ambry::Ref<CDevice> device = CDevice::LoadFromStore(guids.back());
                device->SetName(("a" + std::to_string(i)).c_str());
                list.Add(device.get());
            }
            ASSERT_TRUE(list.Save());
        }
        const std::string before = Everything();
        ForEveryCall(kind, [&](uint64_t n) {
            // Renamed devices, the middle one removed, a new one added.
            CDeviceList edit;
            std::vector<Ambry::Ref<CDevice>> devices;
            for (const GUID &guid : guids) {
                devices.push_back(CDevice::LoadFromStore(guid));
                devices.back()->SetName("b");
                edit.Add(devices.back().get());
            }
            edit.Remove(devices[1].get());
            devices.push_back(CDevice::LoadFromStore(NewGuid()));
            devices.back()->SetName("new");
            edit.Add(devices.back().get());

            Ambry::FaultArm(kind, n);
            const bool saved = edit.Save();
            const bool fired = Ambry::FaultFired();
            const std::string after = Everything();
            if (!fired) {
                EXPECT_TRUE(saved);
                EXPECT_NE(after.find("\"HumanEnteredName\"=\"new\""), std::string::npos);
                return false;
            }
            EXPECT_FALSE(saved) << Ambry::FaultKindName(kind) << " " << n << " failed but the save succeeded";
            EXPECT_EQ(after, before) << Ambry::FaultKindName(kind) << " " << n;
            EXPECT_TRUE(edit.IsDirty());
            return true;
        });
    }
}

}  // namespace
