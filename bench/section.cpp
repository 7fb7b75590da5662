#include "bench/section.h"

#include <algorithm>
#include <cstring>

namespace kivbench {

namespace {

// Filled while the program starts, before main reads it.
std::vector<Section>& Registered()
{
    static std::vector<Section> sections;
    return sections;
}

std::vector<Side>& RegisteredSides()
{
    static std::vector<Side> sides;
    return sides;
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

SideRegistration::SideRegistration(const Side& side)
{
    std::vector<Side>& sides = RegisteredSides();
    sides.insert(std::upper_bound(sides.begin(), sides.end(), side,
                                  [](const Side& a, const Side& b) { return std::strcmp(a.name, b.name) < 0; }),
                 side);
}

const std::vector<Side>& Sides()
{
    return RegisteredSides();
}

}  // namespace kivbench
