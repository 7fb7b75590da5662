// What the tests of the line's frames share: outcomes printed by name, case
// tables printed by their label, and the requests they read replies against.
#ifndef DAVODEV_TESTS_PCON_CASES_H
#define DAVODEV_TESTS_PCON_CASES_H

#include <ostream>
#include <string>

#include "wire/pcon_frame.h"

namespace kivhost {
inline void PrintTo(Outcome outcome, std::ostream* os)
{
    *os << OutcomeName(outcome);
}
}  // namespace kivhost

template <typename Case>
void PrintCaseName(const Case& c, std::ostream* os)
{
    *os << c.name;
}

inline const std::string READ_2W = "/01RW0010022D\r";
inline const std::string READ_20B = "/01RB0100141B\r";
inline const std::string WRITE_W = "/01SW0010011234F7\r";

#endif  // DAVODEV_TESTS_PCON_CASES_H
