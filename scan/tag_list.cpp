#include "scan/tag_list.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <set>

#include "common/tool_text.h"
#include "wire/address_area.h"

namespace kivhost {
namespace {

constexpr int32_t COUNT_MAX = 255;
constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";  // spreadsheets put it first
constexpr size_t ROW_SHOWN = 120;                      // characters of a bad row quoted in its message

enum class Column { Name, Address, Count, Type, Comment };

const std::map<std::string, Column> COLUMNS = {
    {"name", Column::Name}, {"address", Column::Address}, {"count", Column::Count},
    {"type", Column::Type}, {"comment", Column::Comment},
};

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The fields of one CSV line; false, with why, on a broken quote. Blanks
// around a field go, those inside quotes stay.
bool SplitFields(std::string_view line, std::vector<std::string>* fields, std::string* why)
{
    fields->clear();
    size_t i = 0;
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        std::string field;
        if (i < line.size() && line[i] == '"') {
            for (++i;; ++i) {
                if (i >= line.size()) {
                    *why = "a quote is not closed (a field in quotes ends on its own line)";
                    return false;
                }
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        field += '"';
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += line[i];
            }
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
                ++i;
            if (i < line.size() && line[i] != ',') {
                *why = "text follows a closing quote; write a quote inside quotes as \"\"";
                return false;
            }
        } else {
            const size_t end = std::min(line.find(',', i), line.size());
            field = std::string(Trim(line.substr(i, end - i)));
            i = end;
        }
        fields->push_back(std::move(field));
        if (i >= line.size())
            return true;
        ++i;  // the comma
    }
}

// Why a row that is not printable text is refused; at is its first bad byte.
std::string UnprintableWhy(std::string_view line, size_t at)
{
    const auto byte = static_cast<unsigned char>(line[at]);
    const auto next = at + 1 < line.size() ? static_cast<unsigned char>(line[at + 1]) : 0u;
    const std::string column = " at column " + std::to_string(at + 1);
    if (byte == 0)
        return "a NUL byte" + column + "; a tag file is text";
    if (byte < 0x20 || byte == 0x7F || (byte == 0xC2 && next >= 0x80 && next <= 0x9F))
        return "a control character" + column + "; names and comments are text on one line, without them";
    return "bytes that are not UTF-8" + column + " (" + Printf("0x%02X", byte) + "); save the file as UTF-8";
}

// The fields of a line that is printable text, or why it is not; empty
// when it is.
std::string ReadFields(std::string_view line, std::vector<std::string>* fields)
{
    if (const size_t bad = FirstUnprintable(line, true); bad != std::string_view::npos)
        return UnprintableWhy(line, bad);
    std::string why;
    if (!SplitFields(line, fields, &why))
        return why;
    for (const std::string& field : *fields)
        if (field.find('\t') != std::string::npos)
            return "a tab inside a field; a tab is a blank around a field, never part of it";
    return {};
}

struct Header {
    std::map<Column, size_t> at;  // column -> field index
    std::vector<size_t> extraAt;  // per extra column, its field index or npos
    size_t fields = 0;
};

std::optional<Header> ReadHeader(const std::vector<std::string>& fields, const std::vector<std::string>& extraColumns,
                                 std::string* why)
{
    Header header;
    header.fields = fields.size();
    header.extraAt.assign(extraColumns.size(), std::string::npos);
    for (size_t i = 0; i < fields.size(); ++i) {
        const std::string name = Lower(fields[i]);
        const auto extra = std::find(extraColumns.begin(), extraColumns.end(), name);
        if (extra != extraColumns.end()) {
            size_t& at = header.extraAt[static_cast<size_t>(extra - extraColumns.begin())];
            if (at != std::string::npos) {
                *why = "the column " + name + " appears twice";
                return std::nullopt;
            }
            at = i;
            continue;
        }
        const auto column = COLUMNS.find(name);
        if (column == COLUMNS.end()) {
            std::string known = "name, address, count, type";
            for (const std::string& more : extraColumns)
                known += ", " + more;
            *why = "unknown column \"" + fields[i] + "\": the columns are " + known + " and comment";
            return std::nullopt;
        }
        if (!header.at.emplace(column->second, i).second) {
            *why = "the column " + name + " appears twice";
            return std::nullopt;
        }
    }
    if (!header.at.count(Column::Name) || !header.at.count(Column::Address)) {
        *why = "the header names the columns, name and address at least: name,address,count,type,comment";
        return std::nullopt;
    }
    return header;
}

std::string Field(const std::vector<std::string>& fields, const Header& header, Column column)
{
    const auto at = header.at.find(column);
    return at != header.at.end() && at->second < fields.size() ? fields[at->second] : std::string();
}

// One row into a tag; an empty result when it is good.
std::string CheckRow(const std::vector<std::string>& fields, const Header& header, const AddressValidator& validate,
                     const RowCheck& check, bool explain, std::set<std::string>& names, Tag* tag)
{
    if (fields.size() > header.fields)
        return "the row has " + std::to_string(fields.size()) + " fields, the header " + std::to_string(header.fields) +
               "; put a field with commas in double quotes";

    tag->name = Field(fields, header, Column::Name);
    if (tag->name.empty())
        return "the tag has no name";
    if (!names.insert(tag->name).second)
        return "the name \"" + tag->name + "\" is taken by an earlier row";

    tag->text = Field(fields, header, Column::Address);
    if (tag->text.empty())
        return "the tag has no address";
    // Texts the driver would read as another address: refused by the rule
    // kivhost parse refuses them by.
    if (std::string problem = AddressTextProblem(tag->text); !problem.empty())
        return problem;

    const std::string count = Field(fields, header, Column::Count);
    if (!count.empty()) {
        const auto value = ParseValue(count, ValueKind::Word);
        if (!value || *value < 1 || *value > COUNT_MAX)
            return "the count \"" + count + "\" is not a number from 1 to 255";
        tag->count = *value;
    }

    const ValueKind named = GuessValueKind(tag->text);
    tag->kind = named;
    const std::string type = Lower(Field(fields, header, Column::Type));
    if (type == "word" || type == "bit") {
        tag->kind = type == "word" ? ValueKind::Word : ValueKind::Bit;
        if (tag->kind != named)
            return "the type says " + type + " but " + tag->text + " names " +
                   (named == ValueKind::Word ? "a word" : "bits");
    } else if (!type.empty()) {
        return "the type \"" + Field(fields, header, Column::Type) + "\" is neither word nor bit";
    }
    tag->comment = Field(fields, header, Column::Comment);
    for (size_t at : header.extraAt)
        tag->extra.push_back(at < fields.size() ? fields[at] : std::string());
    if (check)
        if (std::string why = check(tag); !why.empty())
            return why;

    std::string why;
    if (!validate(*tag, &tag->address, explain ? &why : nullptr))
        return why.empty() ? "the driver does not take the address " + tag->text : why;
    if (!RunFitsArea(tag->address, tag->count, &why))
        return why;
    return {};
}

}  // namespace

std::string TagFileError::Message() const
{
    std::string message = file + ":";
    if (line > 0)
        message += std::to_string(line) + ":";
    message += " " + why;
    if (!text.empty())
        message += ": " + Cut(Printable(text), ROW_SHOWN);
    return Printable(message);
}

TagFile ParseTagFile(std::string_view content, const std::string& fileName, const AddressValidator& validate,
                     const std::vector<std::string>& extraColumns, const RowCheck& check)
{
    TagFile file;
    if (content.substr(0, UTF8_BOM.size()) == UTF8_BOM)
        content.remove_prefix(UTF8_BOM.size());

    std::optional<Header> header;
    std::set<std::string> names;
    std::vector<std::string> fields;
    int number = 0;
    for (size_t start = 0; start < content.size();) {
        const size_t end = std::min(content.find('\n', start), content.size());
        std::string_view line = content.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::string_view trimmed = Trim(line);
        if (trimmed.empty() || trimmed.front() == '#')
            continue;

        const bool explain = file.errors.size() < TAG_FILE_ROWS_TOLD;
        auto fail = [&](std::string why) {
            if (explain)
                file.errors.push_back({fileName, number, std::string(line), std::move(why)});
            else
                ++file.untold;
        };
        std::string why = ReadFields(line, &fields);
        if (!why.empty()) {
            fail(why);
            if (!header)
                return file;
            continue;
        }
        if (!header) {
            header = ReadHeader(fields, extraColumns, &why);
            if (!header) {
                fail(why);
                return file;  // the rows cannot be read without it
            }
            continue;
        }
        Tag tag;
        tag.line = number;
        why = CheckRow(fields, *header, validate, check, explain, names, &tag);
        if (!why.empty())
            fail(why);
        else
            file.tags.push_back(std::move(tag));
    }
    if (!header)
        file.errors.push_back({fileName, 0, "", "no header line: the file starts name,address"});
    else if (file.tags.empty() && file.errors.empty())
        file.errors.push_back({fileName, 0, "", "no tags: add a row under the header, e.g. pump speed,01W0010"});
    return file;
}

}  // namespace kivhost
