// The simulated chip's state file as a test or a fuzz input builds it: a body
// of lines closed by the checksum line that covers them.
#pragma once
#include <mbedtls/md.h>
#include <string>
#include "support/bytes.h"

namespace moc_test {

// The body with its checksum line made to fit it again, so that a damaged
// body reaches the checks behind the checksum.
inline std::string ResealedChipState(const std::string& body) {
    uint8_t digest[32] = {};
    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256),
               reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest);
    return body + "sha256 " + Hex(digest, sizeof(digest)) + "\n";
}

} // namespace moc_test
