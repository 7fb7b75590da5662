#include "kivhost/log_files.h"

#include "fieldkit/command_steps.h"

namespace kivhost {

void FileCloser::operator()(FILE* file) const
{
    if (file != nullptr && file != stdin)
        std::fclose(file);
}

int OpenLog(const std::string& path, const std::string& name, std::string_view header, OutputFile* file)
{
    std::string error;
    std::string note;
    *file = OutputFile::Append(path, name + " " + path, header, &error, &note);
    if (!file->IsOpen())
        return Complain(EXIT_USAGE, error);
    if (!note.empty())
        Tell(note);
    if (file->Failed())
        return Complain(EXIT_FAILED, file->Error());
    return EXIT_DONE;
}

}  // namespace kivhost
