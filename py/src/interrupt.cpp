// The interruptible runner: worker thread + 50 ms signal polls on the calling thread, which also
// draws a fit's progress line and serves the hand-over of its per-iteration callback.
#include "interrupt.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tarvic/progress.hpp"

namespace tarvic::py::detail {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr const char* kPanicPrefix = "registration worker thread panicked: ";

/// What the two threads share: the worker's completion (and fault), and the state it hands over.
struct Shared {
    std::mutex mutex;
    std::condition_variable caller_cv;  // the calling thread: done, or a state handed over
    std::condition_variable worker_cv;  // the worker: the calling thread answered
    bool done = false;
    bool failed = false;
    std::string fault;
    bool pending = false;  // `handed` awaits the calling thread's answer
    FitState handed;
    bool go_on = true;     // that answer

    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        caller_cv.notify_one();
    }
};

/// The worker's side of the callback: hand the state over and wait for the answer.
class Handover final : public FitObserver {
public:
    explicit Handover(Shared& shared) : shared_(shared) {}
    bool on_iteration(const FitState& state) override {
        std::unique_lock<std::mutex> lock(shared_.mutex);
        shared_.handed = state;
        shared_.pending = true;
        shared_.caller_cv.notify_one();
        shared_.worker_cv.wait(lock, [&] { return !shared_.pending; });
        return shared_.go_on;
    }

private:
    Shared& shared_;
};

/// The progress line, drawn by the calling thread (without the interpreter lock).
class Line {
public:
    Line(const Watch& watch, const FitMonitor* monitor) : watch_(watch), monitor_(monitor) {}

    void tick() {
        if (!watch_.progress || monitor_ == nullptr) return;
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        if (elapsed < watch_.progress_delay || (shown_ && now - last_ < kRedrawInterval)) return;
        const FitState s = monitor_->read();
        draw_line(render_fit_line(watch_.label, s.iteration, watch_.max_iterations, s.sigma2, elapsed));
        shown_ = true;
        last_ = now;
    }
    void clear() {
        if (shown_) clear_line();
        shown_ = false;
    }

private:
    const Watch& watch_;
    const FitMonitor* monitor_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_;
    bool shown_ = false;
};

/// The pending exception, taken (a SystemError if none is set, which a C API failure should not do).
PyRef take_exception() {
    PyRef exc = fetch_exception();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        exc = fetch_exception();
    }
    return exc;
}

/// `False` as a callback's answer: Python's or NumPy's.
bool is_false(PyObject* o) {
    if (o == Py_False) return true;
    return PyArray_IsScalar(o, Bool) && PyObject_Not(o) == 1;
}

/// Call `callback(iteration, sigma2, matrix or None)` with the lock held; whether the fit goes on.
/// An exception (the callback's, or one building its arguments) is kept in `stored` and stops it.
bool call_back(PyObject* callback, const FitState& s, PyRef& stored) {
    PyRef matrix;
    if (s.has_matrix) {
        std::vector<double> m(16);
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) m[static_cast<std::size_t>(4 * i + j)] = s.matrix[i][j];
        matrix = PyRef::steal(to_numpy(std::move(m), {4, 4}));
    } else {
        matrix = PyRef::borrow(Py_None);
    }
    PyRef iteration = PyRef::steal(PyLong_FromSize_t(s.iteration));
    PyRef sigma2 = PyRef::steal(PyFloat_FromDouble(s.sigma2));
    PyRef answer;
    if (matrix && iteration && sigma2)
        answer = PyRef::steal(PyObject_CallFunctionObjArgs(callback, iteration.get(), sigma2.get(), matrix.get(), nullptr));
    if (!answer) {
        PyRef exc = take_exception();
        if (!stored) stored = std::move(exc);
        return false;
    }
    return !is_false(answer.get());
}

}  // namespace

bool run_erased(const Watch& watch, const std::function<void(CancelFlag, FitMonitor*)>& work) {
    std::atomic<bool> cancel{false};
    Shared shared;
    Handover handover(shared);
    std::optional<FitMonitor> monitor;
    if (watch.active()) monitor.emplace(watch.callback != nullptr ? &handover : nullptr);
    FitMonitor* const published = monitor ? &*monitor : nullptr;
    Line line(watch, published);
    PyRef stored;  // the first exception a signal handler or the callback raised; touched only with the lock held

    PyThreadState* saved = PyEval_SaveThread();
    std::thread worker;
    try {
        worker = std::thread([&] {
            // Nothing may escape a thread function (std::terminate); a fault is reported instead.
            try {
                work(&cancel, published);
            } catch (const std::exception& e) {
                shared.failed = true;
                shared.fault = e.what();
            } catch (...) {
                shared.failed = true;
                shared.fault = "unknown C++ exception";
            }
            shared.finish();
        });
    } catch (const std::exception& e) {  // std::system_error, or std::bad_alloc for the thread state
        PyEval_RestoreThread(saved);
        raise_panic(std::string(kPanicPrefix) + "could not start the worker thread: " + e.what());
        return false;
    }
    line.tick();

    {
        std::unique_lock<std::mutex> lock(shared.mutex);
        for (;;) {
            // The deadline is taken afresh on every pass, so polls are 50 ms apart plus the check's time.
            const auto deadline = Clock::now() + kPollInterval;
            shared.caller_cv.wait_until(lock, deadline, [&] { return shared.done || shared.pending; });
            if (shared.done) break;
            const bool pending = shared.pending;
            const FitState handed = shared.handed;
            lock.unlock();
            line.tick();
            PyEval_RestoreThread(saved);
            bool go_on = true;
            if (pending) {
                // Once the call is stopping, the callback is not called again.
                go_on = !stored && call_back(watch.callback, handed, stored);
                if (stored) cancel.store(true, std::memory_order_relaxed);
            }
            if (PyErr_CheckSignals() < 0) {
                PyRef exc = take_exception();
                if (!stored) stored = std::move(exc);  // later ones are dropped: one call, one exception
                cancel.store(true, std::memory_order_relaxed);
                go_on = false;
            }
            saved = PyEval_SaveThread();
            lock.lock();
            if (pending) {
                shared.go_on = go_on;
                shared.pending = false;
                shared.worker_cv.notify_one();
            }
        }
    }
    worker.join();
    line.clear();
    PyEval_RestoreThread(saved);

    // A fault outranks an interruption: the work's state is unknown.
    if (shared.failed) {
        stored = PyRef();
        raise_panic(kPanicPrefix + shared.fault);
        return false;
    }
    if (stored) {
        restore_exception(std::move(stored));
        return false;
    }
    return true;
}

}  // namespace tarvic::py::detail
