// The Modbus unit ids the gateway answers: every one by default; with
// --modbus-unit only those listed ("1,5-7"), the others getting exception
// 0A (GATEWAY_PATH): no path to such a unit here. A gateway in front of
// several lines, or a client that polls units it expects elsewhere, then
// hears no for them instead of this line's values.
#ifndef KIVGATE_MODBUS_UNITS_H
#define KIVGATE_MODBUS_UNITS_H

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>

namespace kivgate {

class ModbusUnits {
public:
    static constexpr int LAST = 255;

    // Every unit id.
    ModbusUnits() { units_.set(); }
    // "1,5-7": ids and ranges from 0 to 255, comma-separated; none when the
    // text is no such list, with why.
    static std::optional<ModbusUnits> Parse(const std::string& text, std::string* why);

    bool Answers(uint8_t unit) const { return units_.test(unit); }
    bool All() const { return units_.all(); }
    // "any", or the list in its shortest form: "1,5-7".
    std::string Text() const;

private:
    std::bitset<LAST + 1> units_;
};

}  // namespace kivgate

#endif  // KIVGATE_MODBUS_UNITS_H
