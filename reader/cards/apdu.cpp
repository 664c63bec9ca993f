// Parsing of short command APDUs and building of response APDUs.
#include "apdu.h"

namespace sim {

std::optional<CommandApdu> parse_command_apdu(const Bytes& command) {
    if (command.size() < 4) return std::nullopt;
    CommandApdu apdu;
    apdu.cla = command[0];
    apdu.ins = command[1];
    apdu.p1 = command[2];
    apdu.p2 = command[3];
    if (command.size() == 4) return apdu;  // case 1
    const uint8_t p3 = command[4];
    if (command.size() == 5) {  // case 2
        apdu.ne = p3 == 0 ? 256 : p3;
        apdu.p3_zero = p3 == 0;
        return apdu;
    }
    const size_t lc = p3;
    if (lc == 0) return std::nullopt;
    if (command.size() != 5 + lc && command.size() != 6 + lc) return std::nullopt;
    apdu.data.assign(command.begin() + 5, command.begin() + 5 + static_cast<std::ptrdiff_t>(lc));
    if (command.size() == 6 + lc) {  // case 4
        const uint8_t le = command.back();
        apdu.ne = le == 0 ? 256 : le;
    }
    return apdu;
}

Bytes response_apdu(uint16_t status, const Bytes& data) {
    Bytes out = data;
    out.push_back(static_cast<uint8_t>(status >> 8));
    out.push_back(static_cast<uint8_t>(status & 0xFF));
    return out;
}

}  // namespace sim
