#include "forensic/sha256.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <array>
#include <memory>

#include "common/fault.h"

namespace veltar::forensic {
namespace {

constexpr std::size_t kDigestBytes = 32;

// Drains libcrypto's error queue for this thread, so that a later failure is
// not reported with a stale reason, and returns the oldest reason.
std::string take_openssl_error() {
  const unsigned long code = ERR_get_error();
  std::string reason;
  if (code != 0) {
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    reason = text.data();
  } else {
    reason = "no reason given";
  }
  ERR_clear_error();
  return reason;
}

[[noreturn]] void fail(const char* step) {
  throw Fault(std::string("SHA-256 digest failed in ") + step + ": " +
              take_openssl_error());
}

// The implementation is looked up in the provider tables once; looking it up
// per call (as EVP_Digest with EVP_sha256() does) costs more than hashing a
// short record. Deliberately never freed: it lives until the process ends.
const EVP_MD* sha256_md() {
  static const EVP_MD* const md = [] {
    EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (fetched == nullptr) {
      fail("EVP_MD_fetch");
    }
    return fetched;
  }();
  return md;
}

struct ContextDeleter {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using ContextPtr = std::unique_ptr<EVP_MD_CTX, ContextDeleter>;

// One context per thread: EVP_DigestInit_ex2 resets it fully, so a context
// left mid-digest by an earlier failure is harmless.
EVP_MD_CTX* thread_context() {
  thread_local ContextPtr ctx;
  if (!ctx) {
    ctx.reset(EVP_MD_CTX_new());
    if (!ctx) {
      fail("EVP_MD_CTX_new");
    }
  }
  return ctx.get();
}

std::string to_hex(const std::array<unsigned char, kDigestBytes>& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(kSha256HexLength, '\0');
  for (std::size_t i = 0; i < kDigestBytes; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0x0f];
  }
  return hex;
}

}  // namespace

std::string sha256_hex_parts(std::span<const std::string_view> parts) {
  const EVP_MD* md = sha256_md();
  EVP_MD_CTX* ctx = thread_context();
  if (EVP_DigestInit_ex2(ctx, md, nullptr) != 1) {
    fail("EVP_DigestInit_ex2");
  }
  for (std::string_view part : parts) {
    if (!part.empty() && EVP_DigestUpdate(ctx, part.data(), part.size()) != 1) {
      fail("EVP_DigestUpdate");
    }
  }
  std::array<unsigned char, kDigestBytes> digest{};
  unsigned int written = 0;
  if (EVP_DigestFinal_ex(ctx, digest.data(), &written) != 1) {
    fail("EVP_DigestFinal_ex");
  }
  if (written != kDigestBytes) {
    throw Fault("SHA-256 digest has " + std::to_string(written) +
                " bytes instead of 32");
  }
  return to_hex(digest);
}

std::string sha256_hex(std::string_view data) {
  return sha256_hex_parts(std::span<const std::string_view>(&data, 1));
}

}  // namespace veltar::forensic
