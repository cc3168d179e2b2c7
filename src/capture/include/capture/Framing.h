#pragma once

namespace kelmor::framing {

inline constexpr char STX = 0x02;
inline constexpr char ETX = 0x03;
inline constexpr char ACK = 0x06;
inline constexpr char LF = 0x0A;
inline constexpr char CR = 0x0D;
inline constexpr char FS = 0x1C;
inline constexpr char Space = 0x20;
inline constexpr unsigned char Highest = 'z'; // the highest byte that survives cleaning

} // namespace kelmor::framing
