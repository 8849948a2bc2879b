// SHA-256 of a file or of bytes, as lower-case hex, through OpenSSL's libcrypto.
#pragma once

#include <string>

namespace kestrel {

// The hash of a file's bytes, read in chunks; raises EFOpenError "Cannot open file x" when
// it cannot be opened and EInOutError when reading fails part-way.
std::string FileSha256(const std::string& path);
std::string BytesSha256(const std::string& bytes);

} // namespace kestrel
