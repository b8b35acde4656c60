#include "link/crc16.h"

#include <array>

#include <immintrin.h>

namespace {

constexpr uint16_t kPolynomial = 0x1021;
constexpr uint16_t kInitial = 0xFFFF;

// kTables[k][b]: what byte b followed by k zero bytes adds to the CRC.
using Tables = std::array<std::array<uint16_t, 256>, 8>;

constexpr Tables makeTables() {
    Tables tables{};
    for (unsigned b = 0; b < 256; ++b) {
        auto crc = static_cast<uint16_t>(b << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ kPolynomial : crc << 1);
        tables[0][b] = crc;
    }
    for (std::size_t k = 1; k < tables.size(); ++k)
        for (unsigned b = 0; b < 256; ++b) {
            const uint16_t previous = tables[k - 1][b];
            tables[k][b] = static_cast<uint16_t>((previous << 8) ^ tables[0][previous >> 8]);
        }
    return tables;
}

constexpr Tables kTables = makeTables();

// x^n modulo the polynomial (x^16 + x^12 + x^5 + 1).
constexpr int64_t xPowerModulo(unsigned n) {
    uint32_t remainder = 1;
    for (unsigned i = 0; i < n; ++i) {
        remainder <<= 1;
        if ((remainder & 0x10000) != 0) remainder ^= 0x10000u | kPolynomial;
    }
    return remainder;
}

// The 16 bytes in reverse order: between memory order and one polynomial
// whose highest terms are the first byte's bits, both ways.
__attribute__((target("pclmul,ssse3"))) __m128i reversed(__m128i bytes) noexcept {
    return _mm_shuffle_epi8(bytes, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

// 16 bytes as one polynomial of degree < 128, the first byte's bits the
// highest terms.
__attribute__((target("pclmul,ssse3"))) __m128i loadBlock(const uint8_t* bytes) noexcept {
    return reversed(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
}

// A polynomial congruent to a x^n, of degree < 80: its upper half times
// x^(n+64) mod P plus its lower half times x^n mod P (both constants in
// `constants`, upper and lower).
__attribute__((target("pclmul,ssse3"))) __m128i fold(__m128i a, __m128i constants) noexcept {
    return _mm_xor_si128(_mm_clmulepi64_si128(a, constants, 0x11), _mm_clmulepi64_si128(a, constants, 0x00));
}

} // namespace

namespace crc16 {

uint16_t sliceBy8(uint16_t crc, const uint8_t* bytes, std::size_t count) noexcept {
    const Tables& t = kTables;
    for (; count >= 8; bytes += 8, count -= 8)
        crc = static_cast<uint16_t>(t[7][bytes[0] ^ (crc >> 8)] ^ t[6][bytes[1] ^ (crc & 0xFF)] ^
                                    t[5][bytes[2]] ^ t[4][bytes[3]] ^ t[3][bytes[4]] ^ t[2][bytes[5]] ^
                                    t[1][bytes[6]] ^ t[0][bytes[7]]);
    for (; count > 0; ++bytes, --count)
        crc = static_cast<uint16_t>((crc << 8) ^ t[0][(crc >> 8) ^ *bytes]);
    return crc;
}

bool carrylessAvailable() noexcept {
    static const bool available = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    return available;
}

__attribute__((target("pclmul,ssse3"))) uint16_t carryless(const uint8_t* bytes, std::size_t count) noexcept {
    constexpr std::size_t kLaneBytes = 16;
    constexpr std::size_t kStrideBytes = 4 * kLaneBytes;
    if (count < kStrideBytes) return sliceBy8(kInitial, bytes, count);
    // The folding constants, computed while compiling.
    constexpr int64_t k128 = xPowerModulo(128), k192 = xPowerModulo(192), k256 = xPowerModulo(256),
                      k320 = xPowerModulo(320), k384 = xPowerModulo(384), k448 = xPowerModulo(448),
                      k512 = xPowerModulo(512), k576 = xPowerModulo(576);

    // The initial value enters as the message's first 16 bits inverted.
    __m128i lanes[4];
    lanes[0] = _mm_xor_si128(loadBlock(bytes), _mm_set_epi64x(static_cast<int64_t>(uint64_t{kInitial} << 48), 0));
    for (std::size_t i = 1; i < 4; ++i) lanes[i] = loadBlock(bytes + i * kLaneBytes);
    bytes += kStrideBytes;
    count -= kStrideBytes;

    // Four independent lanes, each a block every 64 bytes.
    const __m128i by512 = _mm_set_epi64x(k576, k512);
    for (; count >= kStrideBytes; bytes += kStrideBytes, count -= kStrideBytes)
        for (std::size_t i = 0; i < 4; ++i)
            lanes[i] = _mm_xor_si128(fold(lanes[i], by512), loadBlock(bytes + i * kLaneBytes));

    const __m128i by128 = _mm_set_epi64x(k192, k128);
    __m128i sum = _mm_xor_si128(_mm_xor_si128(fold(lanes[0], _mm_set_epi64x(k448, k384)), fold(lanes[1], _mm_set_epi64x(k320, k256))),
                                _mm_xor_si128(fold(lanes[2], by128), lanes[3]));
    for (; count >= kLaneBytes; bytes += kLaneBytes, count -= kLaneBytes)
        sum = _mm_xor_si128(fold(sum, by128), loadBlock(bytes));

    // The CRC register after these blocks is the CRC (initial value 0) of
    // the 128-bit remainder written out, first byte highest; the last bytes
    // follow from there.
    alignas(16) uint8_t remainder[kLaneBytes];
    _mm_store_si128(reinterpret_cast<__m128i*>(remainder), reversed(sum));
    return sliceBy8(sliceBy8(0, remainder, kLaneBytes), bytes, count);
}

} // namespace crc16

uint16_t crc16CcittFalse(const uint8_t* bytes, std::size_t count) noexcept {
    return crc16::carrylessAvailable() ? crc16::carryless(bytes, count) : crc16::sliceBy8(kInitial, bytes, count);
}
