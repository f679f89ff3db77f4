#pragma once
// Short builders of argument values for the tests: each lays the bytes out as liblo does and
// goes through argOfType, the path received values take.

#include "core/osc/QRBArg.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace argvalues {

inline QRBArgPtr I32(int32_t v) { return QRBArg::argOfType('i', &v); }
inline QRBArgPtr I64(int64_t v) { return QRBArg::argOfType('h', &v); }
inline QRBArgPtr F32(float v) { return QRBArg::argOfType('f', &v); }
inline QRBArgPtr F64(double v) { return QRBArg::argOfType('d', &v); }
inline QRBArgPtr Chr(int8_t v) { return QRBArg::argOfType('c', &v); }
inline QRBArgPtr Str(const std::string& s) { return QRBArg::argOfType('s', s.c_str()); }
inline QRBArgPtr Sym(const std::string& s) { return QRBArg::argOfType('S', s.c_str()); }
inline QRBArgPtr Blob(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> record(4 + data.size());
    uint32_t count = static_cast<uint32_t>(data.size());
    std::memcpy(record.data(), &count, 4);
    std::copy(data.begin(), data.end(), record.begin() + 4);
    return QRBArg::argOfType('b', record.data());
}
inline QRBArgPtr Midi(uint8_t port, uint8_t status, uint8_t d1, uint8_t d2) {
    uint8_t m[4] = {port, status, d1, d2};
    return QRBArg::argOfType('m', m);
}
inline QRBArgPtr Tag(uint32_t seconds, uint32_t fraction) {
    uint32_t t[2] = {seconds, fraction};
    return QRBArg::argOfType('t', t);
}
// 'T', 'F', 'N', 'I', or any letter for a value without bytes.
inline QRBArgPtr Typed(int32_t type) {
    auto a = std::make_shared<QRBArg>();
    a->setLibloType(type);
    return a;
}

}  // namespace argvalues
