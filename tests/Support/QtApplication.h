#pragma once

#include <QCoreApplication>

namespace Tiskel::Test {

// The Qt application object a test needs on its thread (for the Qt task queue, the Qt adapter,
// or to tell the Qt thread apart). QCoreApplication keeps referring to the arguments it was
// given, so they live beside it.
class QtApplication {
  public:
    QtApplication() = default;
    QtApplication(QtApplication const&) = delete;
    QtApplication& operator=(QtApplication const&) = delete;

  private:
    int argc = 1;
    char name[16] = "rdm_tests";
    char* argv[2] = {name, nullptr};

  public:
    QCoreApplication application{argc, argv};
};

}  // namespace Tiskel::Test
