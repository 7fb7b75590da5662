// Windows: what rests on pseudo-terminals and symbolic links to them (the
// links to the line, the mirror) is not there. The command line refuses
// those options; a program that asks the library anyway gets a clear error
// at the start, and a line served without them.
#include <stdexcept>

#include "sim/line_link.h"
#include "sim/line_mirror.h"
#include "sim/plc_simulator.h"

namespace plcsim {
namespace {

constexpr const char* NO_PTY = "needs a pseudo-terminal, which Windows has not";

}  // namespace

std::string LinkRefusal(const std::string& path)
{
    return path + ": a link to the line " + NO_PTY;
}

void MakeLink(const std::string& link, const std::string&)
{
    throw std::runtime_error(LinkRefusal(link));
}

void RemoveLink(const std::string&, const std::string&)
{
}

void LineMirror::Open(const kivhost::TtyLine&)
{
    if (!link_.empty())
        throw std::runtime_error("the mirror " + link_ + " " + NO_PTY);
}

void LineMirror::Close()
{
}

std::string LineMirror::Path() const
{
    return "";
}

void LineMirror::Copy(std::string_view)
{
}

}  // namespace plcsim
