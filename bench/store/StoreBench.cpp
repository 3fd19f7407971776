// The device list against raw SQLite: one save of a 100-device list (what every edit
// in the properties view costs) beside one transaction writing the same rows, and
// loading 1000 devices (workers not started) beside reading the same rows.
#include "compare.h"

#include <store/Device.h>
#include <store/DeviceList.h>
#include <store/Registry.h>

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// Values one device's save writes: the item, the class key's three, InprocServer32's
// two, ServerParameters' four.
constexpr int kValuesPerDevice = 10;

// A private store for the benchmark's lifetime.
const std::string &BenchDir()
{
    static const std::string dir = [] {
        char tmpl[] = "/tmp/tsl-bench-store-XXXXXX";
        std::string made = mkdtemp(tmpl) ? tmpl : "/tmp";
        setenv("XDG_DATA_HOME", (made + "/data").c_str(), 1);
        return made;
    }();
    return dir;
}

void UseStore(const char *name)
{
    std::string path = BenchDir() + "/" + name;
    std::filesystem::remove(path);
    std::filesystem::remove(path + "-wal");
    std::filesystem::remove(path + "-shm");
    setenv("TESSALINE_STORE", path.c_str(), 1);
    StoreClose();
}

void FillList(CDeviceList &list, int count)
{
    for (int i = 0; i < count; ++i) {
        Ambry::Ref<CDevice> device = CDevice::LoadFromStore(NewGuid());
        device->SetName(("Grabber " + std::to_string(i)).c_str());
        device->SetAddress(("10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1)).c_str());
        device->SetPassword("secret");
        list.Add(device.get());
    }
}

void SaveOurs(benchmark::State &state)
{
    UseStore("save.db");
    CDeviceList list;
    FillList(list, 100);
    if (!list.Save()) {
        state.SkipWithError("the list could not be saved");
        return;
    }
    CDeviceList check;
    {
        CKey key(OpenKey(HKEY_CURRENT_USER, DEVICES_KEY_PATH, KEY_READ));
        char name[STORE_VALUE_NAME_BUFFER];
        if (!StoreEnumValue(key.get(), 99, name, sizeof(name))) {
            state.SkipWithError("the saved list is incomplete");
            return;
        }
    }
    for (auto _ : state) {
        list.SetDirty();
        benchmark::DoNotOptimize(list.Save());
    }
    bench::ReportRate(state, double(state.iterations()), "saves/s");
}

sqlite3 *OpenRaw(const char *name)
{
    UseStore(name);
    sqlite3 *db = nullptr;
    sqlite3_open(getenv("TESSALINE_STORE"), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                 "CREATE TABLE v(key INTEGER, name TEXT, type INTEGER, data BLOB, UNIQUE(key, name));",
                 nullptr, nullptr, nullptr);
    return db;
}

void SaveRaw(benchmark::State &state)
{
    sqlite3 *db = OpenRaw("raw-save.db");
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO v VALUES(?1, ?2, 1, ?3)", -1, &insert, nullptr);
    const std::string text = "{860BB310-5D01-11D0-BD3B-00A0C911CE86}";
    for (auto _ : state) {
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        for (int d = 0; d < 100; ++d) {
            for (int v = 0; v < kValuesPerDevice; ++v) {
                sqlite3_bind_int(insert, 1, d);
                sqlite3_bind_int(insert, 2, v);
                sqlite3_bind_blob(insert, 3, text.data(), static_cast<int>(text.size() + 1), SQLITE_STATIC);
                sqlite3_step(insert);
                sqlite3_reset(insert);
            }
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    sqlite3_int64 rows = 0;
    sqlite3_stmt *count = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM v", -1, &count, nullptr);
    if (sqlite3_step(count) == SQLITE_ROW)
        rows = sqlite3_column_int64(count, 0);
    sqlite3_finalize(count);
    sqlite3_finalize(insert);
    sqlite3_close(db);
    if (rows != 100 * kValuesPerDevice)
        state.SkipWithError("raw rows missing");
    bench::ReportRate(state, double(state.iterations()), "saves/s");
}

// Loads the list the way CDeviceList::Load does, without starting workers.
size_t LoadWithoutWorkers()
{
    std::vector<Ambry::Ref<CDevice>> devices;
    CStoreTransaction view(CStoreTransaction::Mode::Read);
    CKey key(OpenKey(HKEY_CURRENT_USER, DEVICES_KEY_PATH, KEY_READ));
    char name[STORE_VALUE_NAME_BUFFER];
    for (uint32_t i = 0; StoreEnumValue(key.get(), i, name, sizeof(name)); ++i) {
        std::string text;
        GUID clsid;
        if (ReadText(key.get(), name, &text) && GuidFromText(text.c_str(), &clsid))
            devices.push_back(CDevice::LoadFromStore(clsid));
    }
    return devices.size();
}

void LoadOurs(benchmark::State &state)
{
    UseStore("load.db");
    {
        CDeviceList list;
        FillList(list, 1000);
        list.Save();
    }
    if (LoadWithoutWorkers() != 1000) {
        state.SkipWithError("the saved list is incomplete");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(LoadWithoutWorkers());
    bench::ReportRate(state, double(state.iterations()), "loads/s");
}

void LoadRaw(benchmark::State &state)
{
    sqlite3 *db = OpenRaw("raw-load.db");
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO v VALUES(?1, ?2, 1, 'some text value')", -1, &insert, nullptr);
    for (int d = 0; d < 1000; ++d) {
        for (int v = 0; v < kValuesPerDevice; ++v) {
            sqlite3_bind_int(insert, 1, d);
            sqlite3_bind_int(insert, 2, v);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_stmt *select = nullptr;
    sqlite3_prepare_v2(db, "SELECT data FROM v WHERE key = ?1 AND name = ?2", -1, &select, nullptr);
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (int d = 0; d < 1000; ++d) {
            for (int v = 0; v < kValuesPerDevice; ++v) {
                sqlite3_bind_int(select, 1, d);
                sqlite3_bind_int(select, 2, v);
                if (sqlite3_step(select) == SQLITE_ROW)
                    bytes += static_cast<size_t>(sqlite3_column_bytes(select, 0));
                sqlite3_reset(select);
            }
        }
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
    if (bytes != size_t(1000) * kValuesPerDevice * 15)
        state.SkipWithError("raw rows missing");
    bench::ReportRate(state, double(state.iterations()), "loads/s");
}

BENCHMARK(SaveOurs)->Name("store_list_save_100/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SaveRaw)->Name("store_list_save_100/ref:sqlite")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LoadOurs)->Name("store_list_load_1000/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LoadRaw)->Name("store_list_load_1000/ref:sqlite")->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
