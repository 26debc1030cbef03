#pragma once

namespace Tiskel::Core {

// Something that notifies registered handlers. A registered handler is notified until it is
// unregistered; the publisher does not own it.
template <class Handler>
class EventPublisher {
  public:
    virtual void RegisterEventHandler(Handler* handler) = 0;
    virtual void UnregisterEventHandler(Handler* handler) = 0;

  protected:
    ~EventPublisher() = default;
};

}  // namespace Tiskel::Core
