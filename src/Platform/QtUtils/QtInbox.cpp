#include "Platform/QtUtils/QtInbox.h"

#include <cerrno>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <system_error>
#include <unistd.h>
#include <utility>

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <glog/logging.h>

namespace Tiskel::App {

namespace {

// Qt passes a queued call between threads under its own futex-based mutex, which race detectors
// do not model. The one such call an inbox makes (starting a receiver built off the context's
// thread) therefore publishes the receiver through this mutex as well: the constructing thread
// passes it after building the receiver, and the receiver passes it before it touches any of
// its fields on its own thread.
void passHandOver() {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
}

}  // namespace

class QtInboxReceiver;

// State shared by the inbox and its receiver; the receiver keeps it alive, as it may outlive
// the inbox until its thread disposes of it.
struct QtInbox::Shared {
    explicit Shared(char const* name) : name(name) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::system_error(errno, std::generic_category(), this->name + ": pipe");
        }
        readFd = fds[0];
        writeFd = fds[1];
    }
    ~Shared() {
        ::close(readFd);
        ::close(writeFd);
    }
    Shared(Shared const&) = delete;
    Shared& operator=(Shared const&) = delete;

    // A full pipe already holds a wake-up, so a byte that does not fit is not missed.
    void wake() noexcept {
        char const byte = 1;
        while (::write(writeFd, &byte, 1) < 0 && errno == EINTR) {
        }
    }

    void emptyPipe() noexcept {
        char bytes[64];
        while (::read(readFd, bytes, sizeof bytes) > 0) {
        }
    }

    // Constant after construction.
    std::string const name;
    int readFd = -1;
    int writeFd = -1;

    // Guards the fields below; never held while work runs or is destroyed.
    std::mutex mutex;
    std::deque<std::function<void()>> waiting;
    // Null once the inbox is gone or the receiver's parent destroyed it.
    QtInboxReceiver* receiver = nullptr;
    // Set by an inbox destroyed off the receiver's thread: the receiver deletes itself there.
    bool disposeRequested = false;
};

// Lives on the context's thread and runs the inbox's work there when the pipe has a byte.
class QtInboxReceiver final : public QObject {
    Q_OBJECT

  public:
    explicit QtInboxReceiver(std::shared_ptr<QtInbox::Shared> shared) : shared(std::move(shared)) {}

    ~QtInboxReceiver() override {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->receiver == this) {
            shared->receiver = nullptr;
        }
    }

  public slots:
    // Runs on the receiver's thread: directly when the inbox is built there, else through one
    // queued call.
    void start() {
        passHandOver();
        auto* notifier = new QSocketNotifier(shared->readFd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &QtInboxReceiver::onWake);
        onWake();  // work may have been posted before the notifier existed
    }

  private slots:
    void onWake() {
        // Emptied before the FIFO is looked at: a post that finds the FIFO empty after the look
        // writes a byte that this call does not swallow.
        shared->emptyPipe();
        bool dispose = false;
        std::size_t budget = 0;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            dispose = shared->disposeRequested;
            budget = shared->waiting.size();
        }
        if (dispose) {
            delete this;
            return;
        }
        for (;;) {
            std::function<void()> work;
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                if (shared->waiting.empty()) {
                    return;
                }
                if (budget == 0) {
                    shared->wake();  // posts onto a non-empty FIFO wrote no byte
                    return;
                }
                --budget;
                work = std::move(shared->waiting.front());
                shared->waiting.pop_front();
            }
            try {
                work();
            } catch (std::exception const& error) {
                LOG(ERROR) << shared->name
                           << ": work posted to the Qt thread threw: " << error.what();
            } catch (...) {
                LOG(ERROR) << shared->name
                           << ": work posted to the Qt thread threw an unknown exception";
            }
        }
    }

  private:
    std::shared_ptr<QtInbox::Shared> const shared;
};

QtInbox::QtInbox(char const* name, QObject* context) : shared(std::make_shared<Shared>(name)) {
    auto* receiver = new QtInboxReceiver(shared);
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->receiver = receiver;
    }
    if (context->thread() == QThread::currentThread()) {
        receiver->setParent(context);
        receiver->start();
    } else {
        receiver->moveToThread(context->thread());
        passHandOver();
        QMetaObject::invokeMethod(receiver, "start", Qt::QueuedConnection);
    }
}

QtInbox::~QtInbox() {
    std::deque<std::function<void()>> dropped;
    QtInboxReceiver* deleteNow = nullptr;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        dropped.swap(shared->waiting);
        QtInboxReceiver* const receiver = shared->receiver;
        if (receiver != nullptr) {
            // Without an application no event loop can reach the receiver any more, and on its
            // own thread nothing else is inside it. Otherwise it deletes itself on its thread at
            // the next wake-up. The lock keeps its parent from deleting it meanwhile.
            if (QCoreApplication::instance() == nullptr ||
                receiver->thread() == QThread::currentThread()) {
                deleteNow = receiver;
            } else {
                shared->disposeRequested = true;
                shared->wake();
            }
            shared->receiver = nullptr;
        }
    }
    delete deleteNow;
    // `dropped` goes here, outside the lock: the work's captures may do anything when released.
}

bool QtInbox::post(std::function<void()> work) {
    std::lock_guard<std::mutex> lock(shared->mutex);
    // A receiver built off the context's thread has no parent and outlives the application,
    // but no event loop will ever call it again.
    if (shared->receiver == nullptr || QCoreApplication::instance() == nullptr) {
        return false;
    }
    shared->waiting.push_back(std::move(work));
    if (shared->waiting.size() == 1) {
        shared->wake();
    }
    return true;
}

}  // namespace Tiskel::App

#include "QtInbox.moc"
