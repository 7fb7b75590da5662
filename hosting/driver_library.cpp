#include "hosting/driver_library.h"

#include <filesystem>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#endif

namespace kivhost {
namespace {

// The same words on either system: the library loaded, but is not the driver.
std::string NoEntryMessage(const std::string& path)
{
    return path + " has no KivMain; is it the DAVODEV driver? Give --lib PATH";
}

#if defined(_WIN32)
constexpr const char* LIBRARY_NAME = "DAVODEV.dll";

std::string ProgramFolder()
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return ".";
    std::string text(path, n);
    const size_t slash = text.find_last_of("\\/");
    return slash == std::string::npos ? "." : text.substr(0, slash);
}
#else
constexpr const char* LIBRARY_NAME = "libDAVODEV.so";

std::string ProgramFolder()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string text(path, static_cast<size_t>(n));
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}
#endif

}  // namespace

// Beside this program first (a build folder, the tarball); then where the
// packages put the driver: driver\ beside tools\ in the Windows zip, the
// library folder of the prefix on Linux (/usr/bin/kivhost, /usr/lib/<arch>).
std::string DefaultLibraryPath()
{
#if defined(_WIN32)
    const std::string candidates[] = {ProgramFolder() + "\\" + LIBRARY_NAME,
                                      ProgramFolder() + "\\..\\driver\\" + LIBRARY_NAME};
    for (const std::string& path : candidates)
        if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return std::filesystem::path(path).lexically_normal().string();
#else
    const std::string candidates[] = {ProgramFolder() + "/" + LIBRARY_NAME,
                                      ProgramFolder() + "/../" + KIVHOST_INSTALL_LIBDIR + "/" + LIBRARY_NAME};
    for (const std::string& path : candidates)
        if (access(path.c_str(), F_OK) == 0)
            return std::filesystem::path(path).lexically_normal().string();
#endif
    return candidates[0];  // named in the message when it does not load
}

std::unique_ptr<DriverLibrary> DriverLibrary::Load(const std::string& path, std::string* error)
{
#if defined(_WIN32)
    HMODULE handle = LoadLibraryA(path.c_str());
    if (handle == nullptr) {
        *error = "cannot load the driver " + path + " (Windows error " + std::to_string(GetLastError()) +
                 "); keep DAVODEV.dll in the zip's driver folder, or beside kivhost.exe, or give --lib PATH";
        return nullptr;
    }
    // GetProcAddress hands out a generic function pointer; KivMain's type is known.
    auto entry = reinterpret_cast<KivMainFn>(reinterpret_cast<void*>(GetProcAddress(handle, "KivMain")));
    if (entry == nullptr) {
        FreeLibrary(handle);
        *error = NoEntryMessage(path);
        return nullptr;
    }
#else
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        *error = std::string("cannot load the driver: ") + dlerror() +
                 "; keep libDAVODEV.so beside kivhost, or give --lib PATH";
        return nullptr;
    }
    auto entry = reinterpret_cast<KivMainFn>(dlsym(handle, "KivMain"));
    if (entry == nullptr) {
        dlclose(handle);
        *error = NoEntryMessage(path);
        return nullptr;
    }
#endif
    return std::unique_ptr<DriverLibrary>(new DriverLibrary(handle, entry));
}

DriverLibrary::~DriverLibrary()
{
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

}  // namespace kivhost
