// SHA-256 (FIPS 180-4) through OpenSSL's libcrypto, written as lowercase hex.
//
// The digest algorithm is fetched once per process and never freed; each
// thread reuses one digest context of its own, so the functions here are safe
// to call concurrently from any number of threads.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace veltar::forensic {

// Number of characters in a digest written by the functions below.
inline constexpr std::size_t kSha256HexLength = 64;

// Returns the SHA-256 digest of `data` as 64 lowercase hexadecimal characters,
// each digest byte as two characters, high nibble first.
// Throws veltar::Fault if libcrypto reports a failure; std::bad_alloc
// propagates.
std::string sha256_hex(std::string_view data);

// Same as sha256_hex of the concatenation of `parts`, without building the
// concatenation: each part is fed to the digest in order.
std::string sha256_hex_parts(std::span<const std::string_view> parts);

}  // namespace veltar::forensic
