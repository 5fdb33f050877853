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
// interpreter and must leave every object alone: the process is ending, and a leaked reference
// costs nothing. A call marks the thread state it entered with by that state's dictionary, held
// for the call so that its address cannot be reused; the interpreter is ours while the current
// state's dictionary is that one. 3.11 reports the state holding the interpreter, whichever
// thread that is, and 3.12 on this thread's attached state or none: the comparison serves both.
class Entered {
public:
    Entered() noexcept : slot_(state()), mine_(PyThreadState_GetDict()), previous_(std::exchange(slot_, mine_)) {
        Py_IncRef(mine_);
    }
    // Leaving with the interpreter held, by a return or a caught exception.
    void leave() noexcept {
        slot_ = previous_;
        Py_DecRef(mine_);
        left_ = true;
    }
    // Left otherwise only by the forced unwind, or by an exception no guard catches.
    ~Entered() {
        if (left_) return;
        slot_ = previous_;
        if (mine_ != nullptr && PyThreadState_GetDict() == mine_) Py_DecRef(mine_);
    }
    Entered(const Entered&) = delete;
    Entered& operator=(const Entered&) = delete;

    static PyObject*& state() noexcept {
        static thread_local PyObject* entered = nullptr;
        return entered;
    }

private:
    PyObject*& slot_;
    PyObject* mine_;
    PyObject* previous_;
    bool left_ = false;
};

// Outside a marked call (module execution) the interpreter is always held.
inline bool holds_interpreter() noexcept {
    PyObject* entered = Entered::state();
    return entered == nullptr || PyThreadState_GetDict() == entered;
}

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
