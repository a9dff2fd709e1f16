#include "python/weight.hpp"

#include <cmath>
#include <string>

#include "core/base/format.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"

namespace spanlet::py {

bool read_weight(PyObject* object, CosineWeight& out) {
    bool present = false;
    double omega = 0.0;
    return to_optional_f64(object, "weight", present, omega) && check_weight(present, omega, out);
}

bool check_weight(bool present, double omega, CosineWeight& out) {
    if (!present) {
        out.reset();
        return true;
    }
    if (omega == 0.0 || !std::isfinite(omega)) {
        raise_error(Error::invalid("bad cosine weight scale " + decimal(omega)));
        return false;
    }
    out = omega;
    return true;
}

bool parse_normalization(const std::string& text, Normalization& out) {
    if (text == "integral") {
        out = Normalization::Integral;
    } else if (text == "rowsum") {
        out = Normalization::RowSum;
    } else if (text == "none") {
        out = Normalization::None;
    } else {
        raise_error(Error::invalid("normalization must be 'integral', 'rowsum' or 'none', got " + quoted(text)));
        return false;
    }
    return true;
}

bool parse_parameter(const std::string& text, Parameter& out) {
    const auto p = parameter_named(text);
    if (!p) {
        const std::string message = "unknown parameter " + quoted(text);
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return false;
    }
    out = *p;
    return true;
}

}  // namespace spanlet::py
