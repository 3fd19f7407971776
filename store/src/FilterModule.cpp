// The program's path and the capture filter module found beside it.
#include "FilterModule.h"

#include "store/Device.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <mutex>

namespace {

std::mutex g_pathMutex;
std::string g_programPath;

}  // namespace

void SetProgramPath(const char *path)
{
    std::lock_guard<std::mutex> lock(g_pathMutex);
    g_programPath = path ? path : "";
}

std::string ProgramPath()
{
    {
        std::lock_guard<std::mutex> lock(g_pathMutex);
        if (!g_programPath.empty())
            return g_programPath;
    }
    char buffer[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0)
        return {};
    return std::string(buffer, static_cast<size_t>(n));
}

CFilterModule::CFilterModule()
{
    std::string path = ProgramPath();
    if (path.empty())
        return;
    size_t cut = path.find_last_of("/\\");
    if (cut != std::string::npos)
        path.erase(cut);
    m_path = path + "/" + FILTER_FILE_NAME;
    // Each device counts one load. The module stays mapped when the count reaches
    // zero: it is loaded again with the next device, and a module that is unmapped and
    // mapped again loses nothing but gains a fresh copy of its state each time.
    m_handle = dlopen(m_path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (m_handle)
        m_entry = reinterpret_cast<TSLRegisterDeviceFn>(dlsym(m_handle, REGISTER_ENTRY_NAME));
}

CFilterModule::~CFilterModule()
{
    if (m_handle)
        dlclose(m_handle);
}

bool CFilterModule::Register(const GUID &clsid, const char *name, const GUID *audio) const
{
    return m_entry && m_entry(&clsid, name, audio) == 1;
}
