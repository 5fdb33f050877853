// Owned Python references and process-wide create-once objects.
#pragma once

#include <Python.h>

#include <atomic>
#include <utility>

// Counts change only through the running interpreter's own functions (Py_IncRef, Py_DecRef,
// Py_NewRef, Py_XNewRef), never the headers' inline forms. Built against 3.11's headers, those
// change the count of any object 3.12 and later keep immortal ((), None, True, False, small ints,
// interned and one-character strings, the built-in types), which those interpreters hand out
// without counting: releasing one gives back a reference nobody took, and enough of them free it.
#undef Py_NewRef
#undef Py_XNewRef
#undef Py_INCREF
#undef Py_XINCREF
#undef Py_DECREF
#undef Py_XDECREF
#undef Py_CLEAR
#undef Py_SETREF
#undef Py_XSETREF
#undef Py_RETURN_NONE
#undef Py_RETURN_TRUE
#undef Py_RETURN_FALSE
#pragma GCC poison Py_INCREF Py_XINCREF Py_DECREF Py_XDECREF Py_CLEAR Py_SETREF Py_XSETREF
#pragma GCC poison Py_RETURN_NONE Py_RETURN_TRUE Py_RETURN_FALSE

namespace valmora::py {

// At exit, CPython 3.11 to 3.13 end a daemon thread that tries to take the interpreter back by a
// forced unwind from inside that attempt. Our destructors then run without the interpreter and must
// touch nothing of it (no allocation, no other thread's state): a leaked reference costs nothing at
// exit. Once finalization begins, Py_IsInitialized() (a read of one flag) is false and only the
// finalizing thread can hold the interpreter: any other thread in our code is being unwound. A call
// entered after that runs on the finalizing thread, which marks itself so (a flag never cleared).
inline bool& entered_while_finalizing() noexcept {
    static thread_local bool entered = false;
    return entered;
}
inline void note_entry() noexcept {
    if (!Py_IsInitialized()) entered_while_finalizing() = true;
}
inline bool holds_interpreter() noexcept { return Py_IsInitialized() || entered_while_finalizing(); }

// A move-only owned reference: every exit path releases it. Releasing can run Python code
// (a __del__), which can end the thread at exit by a forced unwind, so the destructor may
// throw that unwind on.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) {
        reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() noexcept(false) {
        if (p_ != nullptr && holds_interpreter()) Py_DecRef(p_);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* owned = nullptr) {
        PyObject* old = std::exchange(p_, owned);
        Py_DecRef(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A process-wide object made once and then only read. It is made with no lock held, so the
// making may run Python code that calls back into the module (an import hook, a signal
// handler) without waiting on itself; the first object made is published and every later
// maker drops its own copy, so all callers see one and the same object.
class SharedObject {
public:
    // Returns a borrowed reference, or null with an exception set; a failed making is tried
    // again by a later call.
    template <class Make>
    PyObject* get(Make make) {
        if (PyObject* ready = value_.load(std::memory_order_acquire)) return ready;
        PyObject* made = make();
        if (made == nullptr) return nullptr;
        return publish(made);
    }

    // The published object, or null when none is yet; never runs Python code.
    PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

    // Publishes `made` (a new reference) unless an object is already published, in which case
    // `made` is dropped; returns the published object, borrowed.
    PyObject* publish(PyObject* made) {
        PyObject* expected = nullptr;
        if (value_.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
        Py_DecRef(made);
        return expected;
    }

private:
    std::atomic<PyObject*> value_{nullptr};
};

}  // namespace valmora::py
