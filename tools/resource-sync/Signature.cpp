#include "Signature.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sodium.h>
#include <vector>

namespace Tiskel::ResourceSync {

namespace {

constexpr char kUntrusted[] = "untrusted comment: ";
constexpr char kTrusted[] = "trusted comment: ";
constexpr size_t kSignatureBytes = crypto_sign_BYTES;             // 64
constexpr size_t kKeyBytes = 2 + 8 + crypto_sign_PUBLICKEYBYTES;  // 42
constexpr size_t kSignatureLineBytes = 2 + 8 + kSignatureBytes;   // 74
constexpr size_t kPrehashBytes = crypto_generichash_BYTES_MAX;    // 64: BLAKE2b-512
static_assert(crypto_sign_PUBLICKEYBYTES == 32 && kPrehashBytes == 64);

void initialiseSodium() {
    // Safe to call more than once and from several threads; fails only when the system has no
    // source of randomness, which verifying does not need but the library insists on.
    if (sodium_init() < 0) {
        throw SignatureError("cannot initialise libsodium");
    }
}

// The bytes of standard base64 text (with padding), or nothing when `text` is not that.
std::optional<std::vector<uint8_t>> base64Decode(std::string const& text) {
    std::vector<uint8_t> bytes(text.size() / 4 * 3 + 3);
    size_t length = 0;
    char const* end = nullptr;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length,
                          &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size()) {
        return std::nullopt;
    }
    bytes.resize(length);
    return bytes;
}

// The lines of `text` without their line ends ("\n" or "\r\n"); a last line without an end
// counts, an empty tail after the last end does not.
std::vector<std::string> linesOf(std::string const& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        size_t const next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > start && text[end - 1] == '\r') {
            --end;
        }
        lines.push_back(text.substr(start, end - start));
        start = next;
    }
    return lines;
}

bool startsWith(std::string const& text, char const* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The content of the file at `path`; std::nullopt with `error` set to errno when it cannot be
// read, and to EFBIG when it is larger than any key or signature file (64 KiB): a wrong path
// such as a disk image or /dev/zero is refused instead of read into memory.
std::optional<std::string> readSmallFile(std::string const& path, int& error) {
    constexpr std::streamsize kLimit = 64 * 1024;
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = errno != 0 ? errno : EIO;
        return std::nullopt;
    }
    std::string content(kLimit + 1, '\0');
    in.read(content.data(), kLimit + 1);
    if (in.bad()) {
        error = EIO;
        return std::nullopt;
    }
    if (in.gcount() > kLimit) {
        error = EFBIG;
        return std::nullopt;
    }
    content.resize(static_cast<std::size_t>(in.gcount()));
    return content;
}

std::optional<PublicKey> keyFromBase64(std::string const& text) {
    std::optional<std::vector<uint8_t>> const bytes = base64Decode(text);
    if (!bytes || bytes->size() != kKeyBytes || (*bytes)[0] != 'E' || (*bytes)[1] != 'd') {
        return std::nullopt;
    }
    PublicKey key;
    std::memcpy(key.keyId.data(), bytes->data() + 2, key.keyId.size());
    std::memcpy(key.key.data(), bytes->data() + 10, key.key.size());
    return key;
}

bool verifyDetached(uint8_t const* signature, uint8_t const* message, size_t size,
                    PublicKey const& key) {
    return crypto_sign_verify_detached(signature, message, size, key.key.data()) == 0;
}

}  // namespace

std::string keyIdText(std::array<uint8_t, 8> const& keyId) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (auto byte = keyId.rbegin(); byte != keyId.rend(); ++byte) {
        text += kDigits[*byte >> 4];
        text += kDigits[*byte & 0xf];
    }
    return text;
}

PublicKey parsePublicKey(std::string const& text) {
    std::vector<std::string> const lines = linesOf(text);
    // A key file: the comment line, then the key. The key alone: one line.
    std::string keyLine;
    if (lines.size() == 2 && startsWith(lines[0], kUntrusted)) {
        keyLine = lines[1];
    } else if (lines.size() == 1) {
        keyLine = lines[0];
    } else {
        throw SignatureError(
            "malformed public key: expected an \"untrusted comment:\" line and the key's line");
    }
    std::optional<PublicKey> const key = keyFromBase64(keyLine);
    if (!key) {
        throw SignatureError("malformed public key: \"" + keyLine +
                             "\" is not the base64 text of an Ed25519 key");
    }
    return *key;
}

PublicKey loadPublicKey(std::string const& keyOrPath) {
    initialiseSodium();
    if (std::optional<PublicKey> const key = keyFromBase64(keyOrPath)) {
        return *key;
    }
    int error = 0;
    std::optional<std::string> const content = readSmallFile(keyOrPath, error);
    if (!content) {
        throw SignatureError("malformed public key: \"" + keyOrPath +
                             "\" is neither a key's base64 text nor a readable key file (" +
                             std::strerror(error) + ")");
    }
    return parsePublicKey(*content);
}

std::string verifySignature(std::string const& message, std::string const& signature,
                            PublicKey const& key) {
    initialiseSodium();
    std::vector<std::string> const lines = linesOf(signature);
    if (lines.size() != 4) {
        throw SignatureError("malformed signature file: expected 4 lines, found " +
                             std::to_string(lines.size()));
    }
    if (!startsWith(lines[0], kUntrusted)) {
        throw SignatureError("malformed signature file: line 1 is not an \"untrusted comment:\"");
    }
    if (!startsWith(lines[2], kTrusted)) {
        throw SignatureError("malformed signature file: line 3 is not a \"trusted comment:\"");
    }
    std::optional<std::vector<uint8_t>> const signedPart = base64Decode(lines[1]);
    if (!signedPart || signedPart->size() != kSignatureLineBytes) {
        throw SignatureError("malformed signature file: line 2 is not a signature");
    }
    std::optional<std::vector<uint8_t>> const global = base64Decode(lines[3]);
    if (!global || global->size() != kSignatureBytes) {
        throw SignatureError("malformed signature file: line 4 is not a signature");
    }
    uint8_t const* const algorithm = signedPart->data();
    bool const prehashed = algorithm[0] == 'E' && algorithm[1] == 'D';
    if (!prehashed && !(algorithm[0] == 'E' && algorithm[1] == 'd')) {
        throw SignatureError("malformed signature file: unknown algorithm");
    }
    std::array<uint8_t, 8> keyId{};
    std::memcpy(keyId.data(), signedPart->data() + 2, keyId.size());
    if (keyId != key.keyId) {
        throw SignatureError("made with another key (key id " + keyIdText(keyId) + ", expected " +
                             keyIdText(key.keyId) + ")");
    }
    uint8_t const* const manifestSignature = signedPart->data() + 10;
    auto const* const bytes = reinterpret_cast<uint8_t const*>(message.data());
    bool matches = false;
    if (prehashed) {
        std::array<uint8_t, kPrehashBytes> digest{};
        crypto_generichash(digest.data(), digest.size(), bytes, message.size(), nullptr, 0);
        matches = verifyDetached(manifestSignature, digest.data(), digest.size(), key);
    } else {
        matches = verifyDetached(manifestSignature, bytes, message.size(), key);
    }
    if (!matches) {
        throw SignatureError("does not match the manifest");
    }
    // The trusted comment is signed together with the manifest's signature, so that it cannot
    // be moved to another signature or edited.
    std::string const comment = lines[2].substr(std::strlen(kTrusted));
    std::vector<uint8_t> signedComment(manifestSignature, manifestSignature + kSignatureBytes);
    signedComment.insert(signedComment.end(), comment.begin(), comment.end());
    if (!verifyDetached(global->data(), signedComment.data(), signedComment.size(), key)) {
        throw SignatureError("the trusted comment does not match its signature");
    }
    return comment;
}

std::string verifySignatureFile(std::string const& message, std::string const& path,
                                PublicKey const& key) {
    int error = 0;
    std::optional<std::string> const content = readSmallFile(path, error);
    if (!content) {
        throw SignatureError(error == ENOENT ? "no signature file " + path
                                             : "cannot read " + path + ": " + std::strerror(error));
    }
    return verifySignature(message, *content, key);
}

}  // namespace Tiskel::ResourceSync
