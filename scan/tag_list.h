// Tag files: the tags of a commissioning job, one per row of a CSV file with
// a header. Columns, in any order: name and address (required), count, type
// (word or bit) and comment. Blank lines and lines starting with "#" are
// skipped; a field in double quotes may hold commas ("" is a quote).
//
//   name,address,count,type,comment
//   pump speed,01W0010,,,"rpm, set by the panel"
//   # valves
//   valves,01B0100,12,bit,
//
// Every row is checked before anything is sent: the first bad ones are
// explained, the rest counted. A file is text: a row with a control
// character (NUL, ESC, DEL, a lone CR; a tab is a blank) or bytes that are
// not UTF-8 is refused, so that no name can act on a terminal or break a
// log. Whether an address is one the driver takes is the driver's parser's
// to say: the caller passes a validator that asks it.
#ifndef KIVHOST_TAG_LIST_H
#define KIVHOST_TAG_LIST_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/tag_text.h"
#include "host_api/davodev.h"

namespace kivhost {

constexpr size_t ADDRESS_TEXT_MAX = 8;
// Far above any job's tags (a row is some 30 bytes), far below what would
// hurt: a device or a log given by mistake is refused at this size.
constexpr size_t TAG_FILE_MB_MAX = 4;
constexpr size_t TAG_FILE_BYTES_MAX = TAG_FILE_MB_MAX * 1024 * 1024;
// Bad rows explained; those after are counted. Explaining an address the
// driver refuses costs some parser calls, too many for 100,000 rows.
constexpr size_t TAG_FILE_ROWS_TOLD = 20;

struct Tag {
    std::string name;
    std::string text;  // the address as written
    int32_t count = 1;
    ValueKind kind = ValueKind::Word;  // the type column, or what the address names
    std::string comment;
    int line = 0;             // in its file, from 1
    DriverAddress address{};  // as the validator filled it
    // The values of the caller's extra columns, in the order it named
    // them ("" where the row leaves one empty or the file lacks it).
    std::vector<std::string> extra;
};

struct TagFileError {
    std::string file;
    int line = 0;      // 0: the file as a whole
    std::string text;  // the row as written
    std::string why;
    // "FILE:LINE: WHY: TEXT" on one line, a long row cut, bytes that are
    // not printable text shown as "\xNN".
    std::string Message() const;
};

struct TagFile {
    std::vector<Tag> tags;
    std::vector<TagFileError> errors;  // the header's, or one per bad row up to TAG_FILE_ROWS_TOLD
    size_t untold = 0;                 // bad rows after those, counted only
    bool Ok() const { return errors.empty(); }
};

// Asks the driver's parser about tag.text with tag.count and the tag type
// of tag.kind (a run of more than one through the block parser); on success
// fills address, otherwise says why in one line for people (why is null
// once enough rows have been explained: only whether is asked).
using AddressValidator = std::function<bool(const Tag& tag, DriverAddress* address, std::string* why)>;

// The caller's own check of a row whose columns are read (Tag::extra
// filled), made before the driver is asked about its address: why the row
// is refused, or empty. It may change the tag: kivgate's count counts
// values, and the driver is asked about the words they take.
using RowCheck = std::function<std::string(Tag* tag)>;

// The file's content, read whole; fileName is for the messages only.
// extraColumns: more columns the caller takes (lower case), each tag's
// values in Tag::extra; any other column is still refused. check: made of
// each row before validate, when given.
TagFile ParseTagFile(std::string_view content, const std::string& fileName, const AddressValidator& validate,
                     const std::vector<std::string>& extraColumns = {}, const RowCheck& check = {});

}  // namespace kivhost

#endif  // KIVHOST_TAG_LIST_H
