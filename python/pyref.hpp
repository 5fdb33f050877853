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

// At exit, CPython 3.11 to 3.13 end a daemon thread that tries to take the interpreter back by
// a forced unwind of its stack from inside that attempt. Our destructors then run without the
// interpreter and must touch nothing of it: no reference, no allocation, no thread state (the
// process is ending, and a leaked reference costs nothing). Finalization records its thread,
// from which moment any other thread taking the interpreter is forced out, and next clears
// the flag Py_IsInitialized() reads: a plain read, of no thread's state. From then on only the
// finalizing thread holds the interpreter, and only it can enter a call. So within our frames
// the interpreter is held while it is initialized, or inside a call entered after that.
class Entered {
public:
    Entered() noexcept : Entered(during_finalization()) {}
    ~Entered() { flag_ = previous_; }
    Entered(const Entered&) = delete;
    Entered& operator=(const Entered&) = delete;

    // Whether this thread is inside a call it entered while the interpreter was finalizing.
    static bool& during_finalization() noexcept {
        static thread_local bool entered = false;
        return entered;
    }

private:
    explicit Entered(bool& flag) noexcept : flag_(flag), previous_(flag) { flag = previous_ || !Py_IsInitialized(); }
    bool& flag_;
    bool previous_;
};

// Never allocates and reads no thread's state. Outside a call (module execution) it may say no
// on the finalizing thread: what is then left alone only leaks.
inline bool holds_interpreter() noexcept { return Py_IsInitialized() || Entered::during_finalization(); }

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
