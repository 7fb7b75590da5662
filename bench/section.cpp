#include "section.h"

#include <algorithm>

namespace kivbench {

namespace {

// Filled while the program starts, before main reads it.
std::vector<Section>& Registered()
{
    static std::vector<Section> sections;
    return sections;
}

}  // namespace

SectionRegistration::SectionRegistration(const Section& section)
{
    std::vector<Section>& sections = Registered();
    sections.insert(std::upper_bound(sections.begin(), sections.end(), section,
                                     [](const Section& a, const Section& b) { return a.number < b.number; }),
                    section);
}

const std::vector<Section>& Sections()
{
    return Registered();
}

}  // namespace kivbench
