#include "Manifest.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QUrl>

#include "ManifestCheck.h"

namespace Tiskel::ResourceSync {

namespace {

using App::ResourceDescriptor;

// "line:column" (1-based) of the character a parse error names. Qt's error offset points just
// past that character.
std::string position(std::string const& text, size_t offset) {
    size_t const at = std::min(offset > 0 ? offset - 1 : 0, text.size());
    size_t line = 1;
    size_t lineStart = 0;
    for (size_t i = 0; i < at; ++i) {
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    }
    return std::to_string(line) + ":" + std::to_string(at - lineStart + 1);
}

}  // namespace

bool parsePolicy(std::string const& text, ResourceDescriptor::UpdatePolicy& policy) {
    static constexpr std::pair<char const*, ResourceDescriptor::UpdatePolicy> kPolicies[] = {
        {"always", ResourceDescriptor::Always},
        {"validate", ResourceDescriptor::Validate},
        {"ifMissing", ResourceDescriptor::IfMissing},
        {"ifModified", ResourceDescriptor::IfModified},
    };
    for (auto const& [name, value] : kPolicies) {
        if (text == name) {
            policy = value;
            return true;
        }
    }
    return false;
}

char const* policyName(ResourceDescriptor::UpdatePolicy policy) {
    switch (policy) {
        case ResourceDescriptor::Always:
            return "always";
        case ResourceDescriptor::Validate:
            return "validate";
        case ResourceDescriptor::IfMissing:
            return "ifMissing";
        case ResourceDescriptor::IfModified:
            return "ifModified";
    }
    return "?";
}

std::string checkBaseUrl(std::string const& url) {
    QUrl const parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (url.empty() || !parsed.isValid()) {
        return "\"" + url + "\" is not a valid URL";
    }
    QString const scheme = parsed.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        return "\"" + url + "\" must start with http:// or https://";
    }
    if (parsed.host().isEmpty()) {
        return "\"" + url + "\" has no host";
    }
    if (parsed.hasQuery() || parsed.hasFragment()) {
        return "\"" + url + "\" must not have a query or a fragment";
    }
    return {};
}

Manifest parseManifest(std::string const& text, std::string const& name) {
    QJsonParseError error{};
    // The parser only reads the text while it builds the document: no copy of it is needed.
    QJsonDocument const document = QJsonDocument::fromJson(
        QByteArray::fromRawData(text.data(), static_cast<int>(text.size())), &error);
    if (error.error != QJsonParseError::NoError) {
        throw ManifestError(name + ":" + position(text, static_cast<size_t>(error.offset)) +
                            ": JSON syntax error: " + error.errorString().toStdString());
    }
    return checkManifest(document, name);
}

std::string manifestName(std::string const& path) {
    return path == "-" ? "stdin" : path;
}

std::string readManifest(std::string const& path) {
    bool const fromStdin = path == "-";
    std::string const name = manifestName(path);
    auto unreadable = [&name](int error) {
        return ManifestError(name + ": cannot read the manifest: " + std::strerror(error));
    };
    int const fd = fromStdin ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw unreadable(errno);
    }
    // Read in place, in as few calls as the file's size allows; a file that grows meanwhile is
    // read to its end all the same.
    struct stat info {};
    std::string text(::fstat(fd, &info) == 0 && info.st_size > 0
                         ? static_cast<size_t>(info.st_size) + 1
                         : size_t{65536},
                     '\0');
    size_t used = 0;
    for (;;) {
        if (used == text.size()) {
            text.resize(2 * text.size());
        }
        ssize_t const count = ::read(fd, text.data() + used, text.size() - used);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            int const error = count < 0 ? errno : 0;
            if (!fromStdin) {
                ::close(fd);
            }
            if (count < 0) {
                throw unreadable(error);
            }
            break;
        }
        used += static_cast<size_t>(count);
    }
    text.resize(used);
    return text;
}

}  // namespace Tiskel::ResourceSync
