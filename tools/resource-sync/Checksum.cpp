#include "Checksum.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <QCryptographicHash>
#include <QFile>

#include "SyncState.h"

namespace Tiskel::ResourceSync {

namespace {

// What the validator remembers of a local file within one round (SyncFile::localVerdict).
enum Verdict : int { Unknown = 0, Matches = 1, Differs = 2 };

// The library hands back the descriptors it was given, and every one of them is a SyncFile.
SyncFile& fileOf(App::ResourceDescriptor const* descriptor) {
    return const_cast<SyncFile&>(static_cast<SyncFile const&>(*descriptor));
}

}  // namespace

bool sha256OfFile(std::string const& path, std::string& digest, std::string& problem) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        problem = "cannot read " + path + ": " + file.errorString().toStdString();
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        problem = "cannot read " + path + ": " + file.errorString().toStdString();
        return false;
    }
    digest = hash.result().toHex().toStdString();
    return true;
}

App::IValidator::Result DigestValidator::validate(App::ResourceDescriptor const* descriptor) const {
    SyncFile& file = fileOf(descriptor);
    int verdict = file.localVerdict.load();
    if (verdict == Unknown) {
        std::string digest;
        std::string problem;
        bool const read = sha256OfFile(file.localPath.string(), digest, problem);
        verdict = read && digest == file.sha256 ? Matches : Differs;
        file.localVerdict.store(verdict);
    }
    return verdict == Matches ? Valid : Invalid;
}

App::IPostProcessor::Result DigestPostProcessor::process(
    App::ResourceDescriptor const* descriptor) const {
    constexpr auto kFailed = static_cast<Result>(1);
    SyncFile& file = fileOf(descriptor);
    std::string const staged = file.downloadPath.string();
    std::string digest;
    std::string problem;
    if (!sha256OfFile(staged, digest, problem)) {
        std::remove(staged.c_str());
        state.setReason(file, problem);
        return kFailed;
    }
    if (digest != file.sha256) {
        std::remove(staged.c_str());
        state.setReason(file, "SHA-256 mismatch: expected " + file.sha256 + ", got " + digest);
        return kFailed;
    }
    if (std::rename(staged.c_str(), file.localPath.string().c_str()) != 0) {
        int const error = errno;
        std::remove(staged.c_str());
        state.setReason(file, "cannot move the download into place at " + file.localPath.string() +
                                  ": " + std::strerror(error));
        return kFailed;
    }
    file.localVerdict.store(Matches);
    return Processed;
}

}  // namespace Tiskel::ResourceSync
