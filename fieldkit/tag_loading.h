// A tag file loaded for scan and poll --tags, every row checked by the
// driver's parser.
#ifndef DAVODEV_FIELDKIT_TAG_LOADING_H
#define DAVODEV_FIELDKIT_TAG_LOADING_H

#include <string>
#include <vector>

#include "common/bounded_file.h"
#include "fieldkit/command_steps.h"
#include "scan/tag_list.h"

namespace kivhost {

// The tags of a file, on a channel started without its port
// (StartChannel). EXIT_DONE, or the status to leave with, every bad row told
// on standard error and the driver ended. extraColumns: as ParseTagFile's;
// kinds: which files are read at all (a service takes regular ones only);
// check: as ParseTagFile's.
// The driver's word on a tag's address, asked as kivhost parse asks it: the
// parser a host would use for the tag's count and type, through the session
// (started, its port may be closed), and parse's words for a refusal.
AddressValidator SessionTagValidator(Session& session);

int LoadTagFile(Context& context, const std::string& path, std::vector<Tag>* tags,
                const std::vector<std::string>& extraColumns = {}, FileKinds kinds = FileKinds::Any,
                const RowCheck& check = {});

}  // namespace kivhost

#endif  // DAVODEV_FIELDKIT_TAG_LOADING_H
