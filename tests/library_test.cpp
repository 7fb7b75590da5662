// The shared library as a host sees it: loaded at run time, one export, and
// log lines reaching the host's err rather than the C library's.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host_api/davodev.h"
#include "tests/log_capture.h"

namespace {

std::string LibraryPath()
{
    return std::string(TEST_BIN_DIR) + "/libDAVODEV.so";
}

struct ElfSymbol {
    std::string name;
    bool exported;  // defined, global or weak, default visibility
};

// Every symbol of the file's symbol tables of this type (SHT_DYNSYM: what a
// host can look up; SHT_SYMTAB: everything linked in, when not stripped).
std::vector<ElfSymbol> ReadSymbols(const std::string& path, uint32_t tableType)
{
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::vector<ElfSymbol> symbols;
    if (bytes.size() < sizeof(ElfW(Ehdr)))
        return symbols;
    ElfW(Ehdr) header;
    std::memcpy(&header, bytes.data(), sizeof header);
    const auto sectionAt = [&](size_t i) {
        ElfW(Shdr) section;
        std::memcpy(&section, bytes.data() + header.e_shoff + i * sizeof section, sizeof section);
        return section;
    };
    for (size_t i = 0; i < header.e_shnum; ++i) {
        const ElfW(Shdr) table = sectionAt(i);
        if (table.sh_type != tableType)
            continue;
        const ElfW(Shdr) names = sectionAt(table.sh_link);
        for (size_t at = table.sh_offset; at + sizeof(ElfW(Sym)) <= table.sh_offset + table.sh_size;
             at += sizeof(ElfW(Sym))) {
            ElfW(Sym) symbol;
            std::memcpy(&symbol, bytes.data() + at, sizeof symbol);
            const int binding = ELF64_ST_BIND(symbol.st_info);
            symbols.push_back({bytes.data() + names.sh_offset + symbol.st_name,
                               symbol.st_shndx != SHN_UNDEF && (binding == STB_GLOBAL || binding == STB_WEAK) &&
                                   ELF64_ST_VISIBILITY(symbol.st_other) == STV_DEFAULT});
        }
    }
    return symbols;
}

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        library_ = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
        kivMain_ = reinterpret_cast<KivMainFn>(dlsym(library_, "KivMain"));
        ASSERT_NE(kivMain_, nullptr);
    }
    void TearDown() override
    {
        if (library_ != nullptr)
            dlclose(library_);
    }

    void* library_ = nullptr;
    KivMainFn kivMain_ = nullptr;
};

// The export list read from the file, as the Windows side reads its DLL's;
// the test hooks are not even linked in.
TEST_F(LibraryTest, ExportsKivMainAloneAndNoTestHook)
{
#if defined(__clang__) && defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "clang's sanitizers export the type names and library templates they check calls by; "
                    "the plain build checks the export list";
#endif
#endif
    std::vector<std::string> exported;
    for (const ElfSymbol& symbol : ReadSymbols(LibraryPath(), SHT_DYNSYM))
        if (symbol.exported)
            exported.push_back(symbol.name);
    EXPECT_EQ(exported, std::vector<std::string>{"KivMain"});

    for (const uint32_t table : {SHT_DYNSYM, SHT_SYMTAB})
        for (const ElfSymbol& symbol : ReadSymbols(LibraryPath(), table))
            EXPECT_EQ(symbol.name.find("ForTests"), std::string::npos) << symbol.name;
}

TEST_F(LibraryTest, ParserLogsThroughTheHostsErr)
{
    // Had the driver bound glibc's err(3), this call would end the process.
    LogCapture log;
    AddressParseBlock block{};
    block.text = "02A1F7";
    block.tagType = 6;
    DriverRequest request{};
    request.code = CMD_SINGLE_ADDRESS_PARSER;
    request.params = &block;
    EXPECT_EQ(kivMain_(&request), REJECTED);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{{LEVEL_ERROR, "REVIZ: ParseAddress() Invalid Address Format"}}));

    block.text = "01W00105";
    EXPECT_EQ(kivMain_(&request), SUCCESS);
    EXPECT_EQ(block.address.bit, 5);
}

TEST_F(LibraryTest, UnknownCodeAndInfo)
{
    DriverRequest request{};
    request.code = 9;
    EXPECT_EQ(kivMain_(&request), RECOVERY_ERROR);
    DriverInfoBlock info{};
    request.code = CMD_GET_KIV_INFO;
    request.params = &info;
    EXPECT_EQ(kivMain_(&request), SUCCESS);
    EXPECT_EQ(info.channelBlockSize, 4140u);
}

}  // namespace
