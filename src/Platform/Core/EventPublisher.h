#pragma once

#include "Platform/Export.h"

namespace Tiskel::Core {

// Something that notifies registered handlers. A registered handler is notified until it is
// unregistered; the publisher does not own it. Implementations say on which thread handlers are
// called and whether registration may race with notification; the task queues allow both calls
// from any thread.
template <class Handler>
class TISKEL_EXPORT EventPublisher {
  public:
    virtual void RegisterEventHandler(Handler* handler) = 0;
    virtual void UnregisterEventHandler(Handler* handler) = 0;

  protected:
    ~EventPublisher() = default;
};

}  // namespace Tiskel::Core
