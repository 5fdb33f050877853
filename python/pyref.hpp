// Owned Python references and process-wide create-once objects.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <utility>

namespace valmora::py {

// A move-only owned reference: every exit path releases it.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(p_, owned);
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A process-wide object made once and then only read. A thread that has to wait for another
// thread's creation waits with the interpreter lock released, so the creator can take it.
class OnceObject {
public:
    // Returns a borrowed reference, or null with an exception set; a failed creation may be
    // retried by a later call.
    template <class Make>
    PyObject* get(Make make) {
        if (PyObject* ready = value_.load(std::memory_order_acquire)) return ready;
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        bool failed = false;
        Py_BEGIN_ALLOW_THREADS
        try {
            std::call_once(flag_, [&] {
                PyGILState_STATE gil = PyGILState_Ensure();
                PyObject* made = make();
                if (made == nullptr) PyErr_Fetch(&type, &value, &traceback);
                PyGILState_Release(gil);
                if (made == nullptr) throw Failed{};
                value_.store(made, std::memory_order_release);
            });
        } catch (...) {  // Failed, or the once-flag's own std::system_error
            failed = true;
        }
        Py_END_ALLOW_THREADS
        if (failed) {
            if (type != nullptr) PyErr_Restore(type, value, traceback);
            else PyErr_SetString(PyExc_SystemError, "valmora: a process-wide object could not be made");
            return nullptr;
        }
        return value_.load(std::memory_order_acquire);
    }

private:
    struct Failed {};
    std::once_flag flag_;
    std::atomic<PyObject*> value_{nullptr};
};

}  // namespace valmora::py
