// The tag-file reader over any bytes, each address asked of the driver's own
// parser as kivhost asks it. Beyond "no crash": every tag kept is printable
// text with a unique name, a count the format allows and an address the
// parser took; every message is one printable line; only the first rows
// refused are explained, the rest counted; a file is good only with tags.
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "address/address_parser.h"
#include "common/tool_text.h"
#include "fuzz/fuzz_support.h"
#include "scan/tag_list.h"

namespace {

using kivhost::Tag;

size_t unexplained = 0;  // validator calls without a why

bool DriverValidates(const Tag& tag, DriverAddress* address, std::string* why)
{
    FUZZ_CHECK(tag.text.size() <= kivhost::ADDRESS_TEXT_MAX && tag.count >= 1 && tag.count <= 255);
    AddressParseBlock block{};
    block.text = tag.text.c_str();
    block.tagType = tag.kind == kivhost::ValueKind::Bit ? kivhost::TAG_TYPE_BIT : kivhost::TAG_TYPE_WORD;
    block.count = tag.count;
    const int32_t result = kiv::ParseAddress(&block, tag.count > 1 ? kiv::ParseMode::Block : kiv::ParseMode::Single);
    *address = block.address;
    if (why == nullptr)
        ++unexplained;
    else if (result != SUCCESS)
        *why = "refused";
    return result == SUCCESS;
}

bool PrintableLine(std::string_view text)
{
    return kivhost::FirstUnprintable(text, false) == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietDriverOutput();
    return 0;
}

// Input: the file's bytes, whole.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    unexplained = 0;
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const kivhost::TagFile file = kivhost::ParseTagFile(content, "job.csv", DriverValidates);

    std::set<std::string> names;
    int line = 0;
    for (const Tag& tag : file.tags) {
        FUZZ_CHECK(!tag.name.empty() && names.insert(tag.name).second);
        FUZZ_CHECK(PrintableLine(tag.name) && PrintableLine(tag.comment));
        FUZZ_CHECK(!tag.text.empty() && PrintableLine(tag.text));
        FUZZ_CHECK(tag.count >= 1 && tag.count <= 255);
        FUZZ_CHECK(tag.line > line);
        line = tag.line;
    }
    FUZZ_CHECK(file.errors.size() <= kivhost::TAG_FILE_ROWS_TOLD);
    FUZZ_CHECK(file.untold == 0 || file.errors.size() == kivhost::TAG_FILE_ROWS_TOLD);
    // The parser is asked without a why only once the told rows are full.
    FUZZ_CHECK(unexplained == 0 || file.errors.size() == kivhost::TAG_FILE_ROWS_TOLD);
    FUZZ_CHECK(file.Ok() == (file.errors.empty() && file.untold == 0));
    FUZZ_CHECK(!file.Ok() || !file.tags.empty());
    for (const kivhost::TagFileError& error : file.errors) {
        const std::string message = error.Message();
        FUZZ_CHECK(message.rfind("job.csv:", 0) == 0 && PrintableLine(message));
    }
    return 0;
}
