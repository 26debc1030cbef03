#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "Manifest.h"

// Signed manifests: a publisher signs the manifest with minisign (Ed25519) and users give
// resource-sync the publisher's public key; the manifest is used only when the signature holds
// for the exact bytes that were read.
//
// A public key is base64 text of "Ed", an 8-byte key id and the 32-byte Ed25519 key; a key file
// holds an "untrusted comment: ..." line before it. A signature file has four lines:
//
//   untrusted comment: TEXT
//   base64 of: algorithm (2 bytes) + key id (8) + signature (64)
//   trusted comment: TEXT
//   base64 of: global signature (64) over signature + the trusted comment's text
//
// The algorithm "Ed" signs the manifest's bytes themselves; "ED" signs their BLAKE2b-512 digest.
//
// Plain values and free functions; thread-compatible.
namespace Tiskel::ResourceSync {

// Why a signature check refused a manifest; what() reads "signature: REASON". A manifest error,
// so that the run ends with exit code 2 before anything is written.
class SignatureError : public ManifestError {
  public:
    explicit SignatureError(std::string const& reason) : ManifestError("signature: " + reason) {}
};

struct PublicKey {
    std::array<uint8_t, 8> keyId{};
    std::array<uint8_t, 32> key{};
};

// The key in `text`: a key file's content, or the key's base64 text alone. Throws
// SignatureError ("malformed public key: ...") when it is neither.
PublicKey parsePublicKey(std::string const& text);

// The key given on the command line: the key's base64 text, else the path of a key file.
// Throws SignatureError when it is neither, or the file cannot be read.
PublicKey loadPublicKey(std::string const& keyOrPath);

// Checks that `signature` (a signature file's content) was made by `key` over `message` and
// that its trusted comment was signed along with it. Returns the trusted comment; throws
// SignatureError naming what does not hold.
std::string verifySignature(std::string const& message, std::string const& signature,
                            PublicKey const& key);

// Reads the signature file at `path` and verifies it as verifySignature does; a missing file is
// "no signature file PATH".
std::string verifySignatureFile(std::string const& message, std::string const& path,
                                PublicKey const& key);

// A key id as minisign shows it in its comments: 16 upper-case hexadecimal digits, the last
// byte first.
std::string keyIdText(std::array<uint8_t, 8> const& keyId);

}  // namespace Tiskel::ResourceSync
