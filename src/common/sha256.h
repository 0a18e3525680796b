// SHA-256 (FIPS 180-4) of a byte string, for the content hashes of records.
//
// The processor's SHA instructions are used where it has them (most x86-64
// processors since 2017 do): a record hash then costs a fraction of a
// microsecond. Elsewhere the portable rounds give the same digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zlg {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest sha256(std::string_view bytes);

// The same digest through the portable rounds alone (to check one against the other).
Sha256Digest sha256_portable(std::string_view bytes);

// Whether sha256() runs on the processor's SHA instructions.
bool sha256_uses_cpu_instructions();

}  // namespace zlg
