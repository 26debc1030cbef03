#include "Checksum.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <QCryptographicHash>
#include <QFile>

#include "Catalogue.h"
#include "SyncState.h"

namespace Tiskel::ResourceSync {

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
    std::size_t const file = catalogue.indexOf(descriptor);
    Verdicts::Verdict verdict = verdicts->get(file);
    if (verdict == Verdicts::Unknown) {
        std::string digest;
        std::string problem;
        bool const read = sha256OfFile(descriptor->localPath.string(), digest, problem);
        verdict = read && digest == catalogue.digest(file) ? Verdicts::Matches : Verdicts::Differs;
        verdicts->set(file, verdict);
    }
    return verdict == Verdicts::Matches ? Valid : Invalid;
}

App::IPostProcessor::Result DigestPostProcessor::process(
    App::ResourceDescriptor const* descriptor) const {
    constexpr auto kFailed = static_cast<Result>(1);
    std::size_t const file = catalogue.indexOf(descriptor);
    std::string const& expected = catalogue.digest(file);
    std::string const staged = descriptor->downloadPath.string();
    std::string const& local = descriptor->localPath.string();
    Verdicts::Verdict const earlier = verdicts->get(file);
    bool const checked = earlier == Verdicts::Staged;
    if (checked || earlier == Verdicts::Rejected) {
        verdicts->set(file, Verdicts::Unknown);
    }
    if (earlier == Verdicts::Rejected) {
        return kFailed;
    }
    std::string digest = checked ? expected : std::string();
    std::string problem;
    if (!checked && !sha256OfFile(staged, digest, problem)) {
        std::remove(staged.c_str());
        state.setReason(file, problem);
        return kFailed;
    }
    if (digest != expected) {
        std::remove(staged.c_str());
        state.setReason(file, "SHA-256 mismatch: expected " + expected + ", got " + digest);
        return kFailed;
    }
    if (std::rename(staged.c_str(), local.c_str()) != 0) {
        int const error = errno;
        std::remove(staged.c_str());
        state.setReason(
            file, "cannot move the download into place at " + local + ": " + std::strerror(error));
        return kFailed;
    }
    verdicts->set(file, Verdicts::Matches);
    return Processed;
}

}  // namespace Tiskel::ResourceSync
