#include <cstdlib>

#include <glog/logging.h>
#include <gmock/gmock.h>

// Test programs own glog's set-up, as a host would. Log files are never written; messages reach
// stderr only when RDM_TEST_LOG is set, and always reach the sinks that tests install.
int main(int argc, char** argv) {
    testing::InitGoogleMock(&argc, argv);
    google::InitGoogleLogging(argv[0]);
    for (int severity = google::GLOG_INFO; severity < google::NUM_SEVERITIES; ++severity) {
        google::SetLogDestination(severity, "");
    }
    FLAGS_logtostderr = false;
    FLAGS_stderrthreshold = std::getenv("RDM_TEST_LOG") ? google::GLOG_INFO : google::GLOG_FATAL;
    return RUN_ALL_TESTS();
}
