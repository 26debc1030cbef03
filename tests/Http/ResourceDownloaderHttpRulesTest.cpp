// The downloader's own rules, against a scripted HTTP client: how the URL and the proxy
// settings are built, in which order cancellation is asked, and how each outcome of the
// client becomes a result and a log line.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <glog/logging.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp.h"
#include "App/ResourceDownloadManager/FileUtils.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"

#include "Support/LogCapture.h"
#include "Support/TempDir.h"

namespace Tiskel::App {
namespace {

using Networking::IProxyProvider;
using Networking::RequestOptions;
using Networking::Response;
using Proxy = IProxyProvider::Proxy;

constexpr char kUnit[] = "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp";

class ScriptedClient : public Networking::IHttpClient {
  public:
    Response download(Networking::Request const& request, RequestOptions const& options) override {
        record(request, options, "GET");
        if (duringDownload) {
            duringDownload(options);
        }
        return reply;
    }
    Response head(Networking::Request const& request, RequestOptions const& options) override {
        record(request, options, "HEAD");
        return reply;
    }

    struct Call {
        std::string method;
        std::string url;
        RequestOptions options;
        bool sentHeaders = false;
    };
    std::vector<Call> calls;
    Response reply;
    std::function<void(RequestOptions const&)> duringDownload;

  private:
    void record(Networking::Request const& request, RequestOptions const& options,
                std::string method) {
        calls.push_back({std::move(method), request.url().str(), options,
                         !request.headers().empty() || !request.extra().empty()});
    }
};

class FixedProxy : public IProxyProvider {
  public:
    Proxy getProxy(std::string const& /*url*/) const override { return proxy; }
    Proxy proxy;
};

class SwitchableChecker : public INetworkStateChecker {
  public:
    State getState() const override { return offline ? Offline : Online; }
    std::atomic<bool> offline{false};
};

class DownloaderRulesTest : public testing::Test {
  protected:
    DownloaderRulesTest() {
        descriptor.tempPath = dir.file("res.tmp");
        descriptor.downloadPath = dir.file("res.bin");
        descriptor.baseUrl = "http://files.example.com/base";
        descriptor.remotePath = "/pack/res.bin";
    }

    IResourceDownloader::Task task(std::function<bool()> isCancelled = [] { return false; }) {
        IResourceDownloader::Task result;
        result.descriptor = &descriptor;
        result.onProgress = [](uint64_t, uint64_t) {};
        result.isCancelled = std::move(isCancelled);
        return result;
    }

    std::string joined(std::string const& baseUrl, std::string const& remotePath) {
        descriptor.baseUrl = baseUrl;
        descriptor.remotePath = remotePath;
        client->calls.clear();
        downloader.requestLastModified(&descriptor);
        return client->calls.at(0).url;
    }

    Tiskel::Test::TempDir dir;
    Tiskel::Test::LogCapture log;
    ResourceDescriptor descriptor;
    std::shared_ptr<ScriptedClient> client = std::make_shared<ScriptedClient>();
    std::shared_ptr<FixedProxy> proxy = std::make_shared<FixedProxy>();
    std::shared_ptr<SwitchableChecker> checker = std::make_shared<SwitchableChecker>();
    ResourceDownloaderHttp downloader{client, proxy, checker};
};

TEST_F(DownloaderRulesTest, JoinsBaseUrlAndRemotePathWithOneSlash) {
    EXPECT_EQ(joined("http://h/base", "/a.bin"), "http://h/base/a.bin");
    EXPECT_EQ(joined("http://h/base/", "a.bin"), "http://h/base/a.bin");
    EXPECT_EQ(joined("http://h/base/", "/a.bin"), "http://h/base/a.bin");
    EXPECT_EQ(joined("http://h/base", "//a.bin"), "http://h/base//a.bin");

    downloader.exec(task());
    EXPECT_EQ(client->calls.back().url, "http://h/base//a.bin");
    EXPECT_FALSE(client->calls.back().sentHeaders);

    EXPECT_EQ(joined("", "/a.bin"), "a.bin");
}

TEST_F(DownloaderRulesTest, ProxyBecomesAUrlWithALongerConnectTimeOut) {
    struct Case {
        Proxy proxy;
        std::string url;
    };
    std::vector<Case> const cases = {
        {{Proxy::None, "", 0}, ""},
        {{Proxy::Http, "proxy.lan", 3128}, "http://proxy.lan:3128"},
        {{Proxy::Https, "secure.lan", 443}, "https://secure.lan:443"},
        {{Proxy::Socks4, "old.lan", 1081}, "socks4://old.lan:1081"},
        {{Proxy::Socks5, "socks.lan", 1080}, "socks5://socks.lan:1080"},
        {{static_cast<Proxy::Type>(9), "odd.lan", 1}, ""},
    };
    for (auto const& c : cases) {
        proxy->proxy = c.proxy;
        client->calls.clear();
        downloader.exec(task());
        downloader.requestLastModified(&descriptor);
        ASSERT_EQ(client->calls.size(), 2u);
        for (auto const& call : client->calls) {
            EXPECT_EQ(call.options.proxy, c.url) << call.method;
            EXPECT_EQ(call.options.connectTimeoutSeconds, c.url.empty() ? 5 : 20) << c.url;
        }
        RequestOptions const& head = client->calls[1].options;
        EXPECT_FALSE(head.onData || head.onProgress || head.shouldCancel);
    }
}

TEST_F(DownloaderRulesTest, OutcomesMapToResultsAndLogLines) {
    struct Row {
        int32_t error;
        bool offline;
        IResourceDownloader::Result result;
        google::LogSeverity severity;  // of the line after the start line; INFO with no text
        std::string line;              // "" when only the start line is logged
    };
    std::string const u = "http://files.example.com/base/pack/res.bin";
    std::string const failed = "request=" + u + " failed with error=boom";
    std::string const offlineSuffix = " (App OFFLINE mode activated!)";
    std::vector<Row> const rows = {
        {0, false, IResourceDownloader::Success, google::GLOG_INFO, ""},
        {0, true, IResourceDownloader::ConnectionLost, google::GLOG_INFO, ""},
        {15, false, IResourceDownloader::Cancelled, google::GLOG_INFO,
         "request=" + u + " was cancelled."},
        {3, false, IResourceDownloader::ConnectionLost, google::GLOG_WARNING, failed},
        {8, false, IResourceDownloader::ConnectionLost, google::GLOG_WARNING, failed},
        {8, true, IResourceDownloader::ConnectionLost, google::GLOG_WARNING,
         failed + offlineSuffix},
        {15, true, IResourceDownloader::ConnectionLost, google::GLOG_WARNING,
         failed + offlineSuffix},
        {2, true, IResourceDownloader::ConnectionLost, google::GLOG_WARNING,
         failed + offlineSuffix},
        {2, false, IResourceDownloader::Failed, google::GLOG_WARNING, failed},
        {4, false, IResourceDownloader::Failed, google::GLOG_WARNING, failed},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE("error " + std::to_string(row.error) + (row.offline ? " offline" : ""));
        dir.write("res.bin", "old");
        client->reply = Response();
        client->reply.error = row.error;
        client->reply.errorText = row.error == 0 ? "" : "boom";
        // The network goes offline only once the transfer is over.
        checker->offline = false;
        client->duringDownload = [this, &row](RequestOptions const&) {
            checker->offline = row.offline;
        };
        log.clear();

        EXPECT_EQ(downloader.exec(task()), row.result);

        std::vector<Tiskel::Test::LogLine> const lines = log.lines();
        ASSERT_EQ(lines.size(), row.line.empty() ? 1u : 2u);
        EXPECT_EQ(lines[0].text, "HTTP download=" + u);
        EXPECT_EQ(lines[0].severity, google::GLOG_INFO);
        for (auto const& line : lines) {
            EXPECT_EQ(line.file, kUnit);
        }
        if (!row.line.empty()) {
            EXPECT_EQ(lines[1].text, row.line);
            EXPECT_EQ(lines[1].severity, row.severity);
        }
        // The (empty) body is moved into place after every transfer that completed, offline
        // or not; otherwise the old file stays.
        EXPECT_EQ(Tiskel::Test::TempDir::read(dir.file("res.bin")), row.error == 0 ? "" : "old");
        EXPECT_FALSE(fileExists(descriptor.tempPath));
    }
}

}  // namespace
}  // namespace Tiskel::App
