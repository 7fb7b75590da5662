#include "tag_loading.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace kivhost {

int LoadTagFile(Context& context, const std::string& path, std::vector<Tag>* tags)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        const std::string why = std::strerror(errno);
        context.session.End();
        return Complain(EXIT_USAGE, "cannot read the tag file " + path + ": " + why);
    }
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());

    Session& session = context.session;
    const AddressParser probe = AddressParserOf(session);
    const AddressValidator validate = [&probe](const Tag& tag, DriverAddress* address, std::string* why) {
        const bool block = tag.count > 1;
        const uint32_t tagType = tag.kind == ValueKind::Bit ? TAG_TYPE_BIT : TAG_TYPE_WORD;
        if (probe(tag.text, block, tagType, tag.count, address) == SUCCESS)
            return true;
        *why = RejectionHint(probe, tag.text, block, tagType, tag.count);
        return false;
    };
    TagFile parsed = ParseTagFile(content, path, validate);
    if (!parsed.Ok()) {
        session.End();
        for (size_t i = 0; i + 1 < parsed.errors.size(); ++i)
            Tell(parsed.errors[i].Message());
        return Complain(EXIT_USAGE, parsed.errors.back().Message());
    }
    *tags = std::move(parsed.tags);
    return EXIT_DONE;
}

}  // namespace kivhost
