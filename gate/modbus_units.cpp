#include "gate/modbus_units.h"

#include "common/number_rules.h"

namespace kivgate {

std::optional<ModbusUnits> ModbusUnits::Parse(const std::string& text, std::string* why)
{
    ModbusUnits units;
    units.units_.reset();
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const size_t dash = item.find('-');
        const auto first = kivhost::ParseNumber(item.substr(0, dash), 0, LAST);
        const auto last = dash == std::string::npos ? first : kivhost::ParseNumber(item.substr(dash + 1), 0, LAST);
        if (!first || !last) {
            *why = item.empty() ? "an empty item; give unit ids from 0 to 255 and ranges, e.g. 1,5-7"
                                : "\"" + item + "\" is no unit id from 0 to 255 nor a range of them, e.g. 1,5-7";
            return std::nullopt;
        }
        if (*last < *first) {
            *why = "the range \"" + item + "\" ends before it begins";
            return std::nullopt;
        }
        for (int64_t unit = *first; unit <= *last; ++unit)
            units.units_.set(static_cast<size_t>(unit));
        if (comma == std::string::npos)
            return units;
        start = comma + 1;
    }
}

std::string ModbusUnits::Text() const
{
    if (All())
        return "any";
    std::string text;
    for (int unit = 0; unit <= LAST; ++unit) {
        if (!units_.test(static_cast<size_t>(unit)))
            continue;
        int last = unit;
        while (last < LAST && units_.test(static_cast<size_t>(last + 1)))
            ++last;
        text += (text.empty() ? "" : ",") + std::to_string(unit);
        if (last > unit)
            text += (last == unit + 1 ? "," : "-") + std::to_string(last);
        unit = last;
    }
    return text;
}

}  // namespace kivgate
