// Makes password tokens the way the engine does: PKCS #5 v1.5
// pbeWithMD5AndDES-CBC through the library's own PBE set-up (not the shim's
// key derivation), then base64 on one line.
#pragma once

#include <string>
#include <string_view>

// The token for a clear password; empty if the library refuses.
std::string encryptToken(std::string_view clear);

// The raw ciphertext of the same encryption (before base64).
std::string encryptTokenBytes(std::string_view clear);

// Plain base64 of bytes, wrapped with "\n" every `width` characters when
// width > 0.
std::string encodeBase64(std::string_view bytes, std::size_t width = 0);
