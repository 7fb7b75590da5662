#include "fieldkit/tag_loading.h"

#include "common/bounded_file.h"
#include "common/tool_text.h"

namespace kivhost {

AddressValidator SessionTagValidator(Session& session)
{
    return [&session](const Tag& tag, DriverAddress* address, std::string* why) {
        const bool block = tag.count != 1;
        const uint32_t tagType = tag.kind == ValueKind::Bit ? TAG_TYPE_BIT : TAG_TYPE_WORD;
        if (session.ProbeParse(tag.text, block, tagType, tag.count, address) == SUCCESS)
            return true;
        if (why != nullptr)
            *why = ParseRejection(session, tag.text, block, tagType, tag.count);
        return false;
    };
}

int LoadTagFile(Context& context, const std::string& path, std::vector<Tag>* tags,
                const std::vector<std::string>& extraColumns, FileKinds kinds, const RowCheck& check)
{
    std::string content;
    std::string why;
    const FileRead read = ReadFileUpTo(path, TAG_FILE_BYTES_MAX, &content, &why, kinds);
    if (read != FileRead::Done) {
        if (read == FileRead::TooLarge)
            why = "it is larger than " + std::to_string(TAG_FILE_MB_MAX) + " MB, the most a tag file may hold";
        context.session.End();
        return Complain(EXIT_USAGE, Printable("cannot read the tag file " + path + ": " + why));
    }

    Session& session = context.session;
    TagFile parsed = ParseTagFile(content, path, SessionTagValidator(session), extraColumns, check);
    if (!parsed.Ok()) {
        session.End();
        std::vector<std::string> told;
        for (const TagFileError& error : parsed.errors)
            told.push_back(error.Message());
        if (parsed.untold > 0)
            told.push_back(Printable(path) + ": ... and " + std::to_string(parsed.untold) + " more rows refused, " +
                           std::to_string(parsed.untold + parsed.errors.size()) + " in all");
        for (size_t i = 0; i + 1 < told.size(); ++i)
            Tell(told[i]);
        return Complain(EXIT_USAGE, told.back());
    }
    *tags = std::move(parsed.tags);
    return EXIT_DONE;
}

}  // namespace kivhost
