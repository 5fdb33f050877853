// What a call prepares before converting anything, and its reading of labels.
#include "call.hpp"

namespace valmora::py {

bool prepare_call() { return find_buffer_types() && find_pandas(); }

bool read_labels(LabelCheck& labels, const char* const* params, const Axes* axes, PyObject* const* slots,
                 std::size_t count) {
    HandledHere here;
    try {
        return labels.read(params, axes, slots, count);
    } catch (const Stopped&) {
        // Only handlers that raised stop a reading where they run in place.
        return resume_after_interrupt();
    }
}

}  // namespace valmora::py
