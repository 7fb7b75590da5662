#include "session.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "dorvak.h"
#include "tool_text.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#endif

namespace kivhost {
namespace {

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

int OpenScratch()
{
    char folder[MAX_PATH];
    char path[MAX_PATH];
    if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "kiv", 0, path) == 0)
        return -1;
    // Gone when the last descriptor closes, at the latest when we exit.
    return _open(path, _O_RDWR | _O_BINARY | _O_TEMPORARY);
}

int DupFd(int fd)
{
    return _dup(fd);
}
int Dup2Fd(int from, int to)
{
    return _dup2(from, to);
}
FILE* OpenFd(int fd)
{
    return _fdopen(fd, "w");
}
bool IsTerminal(int fd)
{
    return _isatty(fd) != 0;
}

std::string TakeScratch(int fd)
{
    std::string text;
    const long size = _lseek(fd, 0, SEEK_END);
    if (size > 0 && _lseek(fd, 0, SEEK_SET) == 0) {
        text.resize(static_cast<size_t>(size));
        const int n = _read(fd, text.data(), static_cast<unsigned>(size));
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    _chsize(fd, 0);
    _lseek(fd, 0, SEEK_SET);  // descriptor 1 shares this position
    return text;
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

int OpenScratch()
{
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder != nullptr && folder[0] != '\0' ? folder : "/tmp") + "/kivhost-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd >= 0)
        unlink(path.c_str());
    return fd;
}

int DupFd(int fd)
{
    return fcntl(fd, F_DUPFD_CLOEXEC, 3);
}
int Dup2Fd(int from, int to)
{
    return dup2(from, to);
}
FILE* OpenFd(int fd)
{
    return fdopen(fd, "w");
}
bool IsTerminal(int fd)
{
    return isatty(fd) != 0;
}

std::string TakeScratch(int fd)
{
    std::string text;
    const off_t size = lseek(fd, 0, SEEK_END);
    if (size > 0) {
        text.resize(static_cast<size_t>(size));
        const ssize_t n = pread(fd, text.data(), text.size(), 0);
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    if (ftruncate(fd, 0) != 0) {
        // Left as it is: the next collection reads the same bytes again at worst.
    }
    lseek(fd, 0, SEEK_SET);  // descriptor 1 shares this position
    return text;
}
#endif

bool IsBitOperand(const DriverAddress& address)
{
    return address.operand != 'W';
}

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

// ---------------------------------------------------------------------------
// The library

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
        *error = path + " has no KivMain; is it the DAVODEV driver? Give --lib PATH";
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
        *error = path + " has no KivMain; is it the DAVODEV driver? Give --lib PATH";
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

// ---------------------------------------------------------------------------
// Standard output

DriverOutput::~DriverOutput()
{
    if (results_ != nullptr)
        std::fflush(results_);
}

bool DriverOutput::Start(std::string* error)
{
    std::fflush(stdout);
    const int original = DupFd(1);
    scratch_ = OpenScratch();
    if (original < 0 || scratch_ < 0 || Dup2Fd(scratch_, 1) < 0) {
        *error = "cannot set standard output aside for the driver's traces: " + std::string(std::strerror(errno));
        return false;
    }
#if defined(_WIN32)
    // The driver's lines are read back byte for byte: no CR added.
    _setmode(1, _O_BINARY);
#endif
    results_ = OpenFd(original);
    if (results_ == nullptr) {
        *error = "cannot open standard output: " + std::string(std::strerror(errno));
        return false;
    }
#if defined(_WIN32)
    if (IsTerminal(original))
        SetConsoleOutputCP(CP_UTF8);  // the banner and the log lines are shown as UTF-8
#endif
    return true;
}

bool DriverOutput::ResultsOnTerminal() const
{
    return results_ != nullptr && IsTerminal(fileno(results_));
}

std::string DriverOutput::Collect()
{
    std::fflush(stdout);
    if (scratch_ < 0)
        return {};
    std::string text = TakeScratch(scratch_);
    if (view_ != nullptr && !text.empty()) {
        std::fflush(results_);  // what was printed before comes first on a shared terminal
        view_->Driver(text);
    }
    return text;
}

void DriverOutput::ShowLog(int32_t level, const char* text)
{
    if (view_ == nullptr)
        return;
    std::fflush(results_);
    view_->Log(level, text);
}

void DriverOutput::CallEnded()
{
    if (view_ != nullptr)
        view_->CallEnded();
}

// ---------------------------------------------------------------------------
// The session

Session::Session(KivMainFn entry, DriverOutput& output) : entry_(entry), output_(output)
{
    channel_.assign((sizeof(ChannelBlock) + 7) / 8, 0);
    DorvakSetSink(&Session::Sink, this);
}

Session::~Session()
{
    DorvakSetSink(nullptr, nullptr);
}

void Session::Sink(int32_t level, const char* text, void* context)
{
    auto* session = static_cast<Session*>(context);
    if (session->probing_)
        return;
    // Whatever the driver printed before this line comes first.
    session->lastTrace_ += session->output_.Collect();
    session->lastLog_.push_back({level, text});
    session->output_.ShowLog(level, text);
}

int32_t Session::Call(uint32_t code, void* params)
{
    DriverRequest request{};
    request.channel = &Channel();
    request.code = code;
    request.params = params;
    lastTrace_.clear();
    lastLog_.clear();
    const auto start = std::chrono::steady_clock::now();
    const int32_t result = entry_(&request);
    lastMs_ = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    lastTrace_ += output_.Collect();
    output_.CallEnded();
    reader_.Feed(lastTrace_);
    reader_.Finish();
    lastExchanges_.clear();
    for (TraceExchange exchange; reader_.NextExchange(&exchange);)
        lastExchanges_.push_back(std::move(exchange));
    return result;
}

int32_t Session::GetInfo(DriverInfoBlock* info)
{
    *info = DriverInfoBlock{};
    const int32_t result = Call(CMD_GET_KIV_INFO, info);
    // The host provides as much as the driver asks for, never less than the record.
    if (result == SUCCESS && info->channelBlockSize > sizeof(ChannelBlock) && info->channelBlockSize < (1u << 20))
        channel_.assign((info->channelBlockSize + 7) / 8, 0);
    return result;
}

int32_t Session::ColdStart(const LineOptions& line, bool enable)
{
    ColdStartBlock block{};
    std::snprintf(block.portName, sizeof block.portName, "%s", line.port.c_str());
    block.enable = enable ? 1 : 0;
    block.timeout = line.timeoutUnits;
    block.settings = {line.baud, line.dataBits, line.stopBits, line.parity};
    return Call(CMD_COLD_START, &block);
}

namespace {

AddressParseBlock ParseBlock(const std::string& text, uint32_t tagType, int32_t count)
{
    AddressParseBlock parse{};
    parse.text = text.c_str();
    parse.tagType = tagType;
    parse.count = count;
    return parse;
}

uint32_t ParserCode(bool block)
{
    return block ? CMD_BLOCK_ADDRESS_PARSER : CMD_SINGLE_ADDRESS_PARSER;
}

}  // namespace

int32_t Session::Parse(const std::string& text, bool block, uint32_t tagType, int32_t count, DriverAddress* address)
{
    AddressParseBlock parse = ParseBlock(text, tagType, count);
    const int32_t result = Call(ParserCode(block), &parse);
    *address = parse.address;
    return result;
}

int32_t Session::ProbeParse(const std::string& text, bool block, uint32_t tagType, int32_t count,
                            DriverAddress* address)
{
    AddressParseBlock parse = ParseBlock(text, tagType, count);
    DriverRequest request{};
    request.channel = &Channel();
    request.code = ParserCode(block);
    request.params = &parse;
    probing_ = true;
    const int32_t result = entry_(&request);
    probing_ = false;
    *address = parse.address;
    return result;
}

std::vector<uint16_t> PackValues(const DriverAddress& address, const std::vector<uint16_t>& elements)
{
    const size_t count = elements.size();
    if (count == 1)
        return {0, elements[0]};  // a single value travels in element 1
    if (!IsBitOperand(address))
        return elements;
    std::vector<uint16_t> array(count / 16 + 2, 0);
    for (size_t i = 0; i < count; ++i)
        if (elements[i] & 1)
            array[i / 16] = static_cast<uint16_t>(array[i / 16] | (1u << (i % 16)));
    return array;
}

std::vector<uint16_t> UnpackValues(const DriverAddress& address, int32_t count, const std::vector<uint16_t>& array)
{
    if (count == 1)
        return {array[1]};
    std::vector<uint16_t> elements;
    for (int32_t i = 0; i < count; ++i) {
        const size_t at = static_cast<size_t>(i);
        if (IsBitOperand(address))
            elements.push_back(static_cast<uint16_t>((array[at / 16] >> (at % 16)) & 1));
        else
            elements.push_back(array[at]);
    }
    return elements;
}

int32_t Session::Read(const DriverAddress& address, int32_t count, std::vector<uint16_t>* elements)
{
    IoBlock io{};
    io.address = address;
    io.count = count;
    // Room for a run of words, and for element 1 of a single value.
    std::vector<uint16_t> array(static_cast<size_t>(count) + 2, 0);
    io.values = array.data();
    const int32_t result = Call(count == 1 ? CMD_SINGLE_READ : CMD_BLOCK_READ, &io);
    elements->clear();
    if (result == SUCCESS)
        *elements = UnpackValues(address, count, array);
    return result;
}

int32_t Session::Write(const DriverAddress& address, const std::vector<uint16_t>& elements)
{
    IoBlock io{};
    io.address = address;
    io.count = static_cast<int32_t>(elements.size());
    std::vector<uint16_t> array = PackValues(address, elements);
    io.values = array.data();
    return Call(elements.size() == 1 ? CMD_SINGLE_WRITE : CMD_BLOCK_WRITE, &io);
}

int32_t Session::End()
{
    return Call(CMD_END_KIV, nullptr);
}

}  // namespace kivhost
