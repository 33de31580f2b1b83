// The interruptible runner: worker thread + 50 ms signal polls on the calling thread.
#include "interrupt.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

namespace tarvic::py::detail {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr const char* kPanicPrefix = "registration worker thread panicked: ";

/// What the worker hands back besides the work's value: completion, and a fault if it had one.
struct Completion {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    bool failed = false;
    std::string fault;

    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        done_cv.notify_one();
    }
};

}  // namespace

bool run_erased(const std::function<void(CancelFlag)>& work) {
    std::atomic<bool> cancel{false};
    Completion completion;
    PyRef stored;  // the first exception a signal handler raised; touched only with the lock held

    PyThreadState* saved = PyEval_SaveThread();
    std::thread worker;
    try {
        worker = std::thread([&] {
            // Nothing may escape a thread function (std::terminate); a fault is reported instead.
            try {
                work(&cancel);
            } catch (const std::exception& e) {
                completion.failed = true;
                completion.fault = e.what();
            } catch (...) {
                completion.failed = true;
                completion.fault = "unknown C++ exception";
            }
            completion.finish();
        });
    } catch (const std::exception& e) {  // std::system_error, or std::bad_alloc for the thread state
        PyEval_RestoreThread(saved);
        raise_panic(std::string(kPanicPrefix) + "could not start the worker thread: " + e.what());
        return false;
    }

    {
        std::unique_lock<std::mutex> lock(completion.mutex);
        for (;;) {
            // The deadline is taken afresh on every pass, so polls are 50 ms apart plus the check's time.
            const auto deadline = std::chrono::steady_clock::now() + kPollInterval;
            if (completion.done_cv.wait_until(lock, deadline, [&] { return completion.done; })) break;
            lock.unlock();
            PyEval_RestoreThread(saved);
            if (PyErr_CheckSignals() < 0) {
                PyRef exc = fetch_exception();
                if (!exc) {
                    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
                    exc = fetch_exception();
                }
                if (!stored) stored = std::move(exc);  // later ones are dropped: one call, one exception
                cancel.store(true, std::memory_order_relaxed);
            }
            saved = PyEval_SaveThread();
            lock.lock();
        }
    }
    worker.join();
    PyEval_RestoreThread(saved);

    // A fault outranks an interruption: the work's state is unknown.
    if (completion.failed) {
        stored = PyRef();
        raise_panic(kPanicPrefix + completion.fault);
        return false;
    }
    if (stored) {
        restore_exception(std::move(stored));
        return false;
    }
    return true;
}

}  // namespace tarvic::py::detail
