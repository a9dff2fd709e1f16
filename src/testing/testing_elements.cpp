// Test entry points for formatting, argument conversion, elements and space indexing.
//
// Elements are described by tuples:
//   ("delta", position)  ("box", lower, upper)  ("hat", lower, peak, upper)
//   ("shaped", segments, center, stretch)   segments: float64 array of rows (c0, c1, c2, c3, a, b)
//   ("linear", x, y, center, stretch)       ("trapezoid", top, bottom, center, stretch)
//   ("mapped", kind, a, b, inner, lower, upper, jacobian)   kind "affine" or "reciprocal"
#include <string>
#include <vector>

#include "core/elements/element.hpp"
#include "core/base/format.hpp"
#include "core/spaces/bsplines.hpp"
#include "core/spaces/space.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/space_methods.hpp"
#include "python/space_object.hpp"
#include "testing/testing.hpp"

namespace spanlet::py {

namespace {


bool to_element(PyObject* object, const char* argument, Element& out);

bool item_f64(PyObject* tuple, Py_ssize_t i, double& out) { return to_f64(PyTuple_GET_ITEM(tuple, i), "element", out); }

Result<Element> place(Result<ShapeRef> shape, double center_x, double stretch) {
    SPANLET_TRY(placed, std::move(shape));
    return make_shaped(std::move(placed), center_x, stretch);
}

bool finish(Result<Element> built, Element& out) {
    if (!built) {
        raise_error(built.error());
        return false;
    }
    out = std::move(built).value();
    return true;
}

bool to_element(PyObject* object, const char* argument, Element& out) {
    if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) < 2) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected an element tuple", argument);
        return false;
    }
    std::string kind;
    if (!to_string(PyTuple_GET_ITEM(object, 0), argument, kind)) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(object);
    double v[4] = {0, 0, 0, 0};
    auto floats = [&](Py_ssize_t first, Py_ssize_t count) {
        for (Py_ssize_t i = 0; i < count; ++i)
            if (first + i >= n || !item_f64(object, first + i, v[i])) return false;
        return true;
    };
    if (kind == "delta" && floats(1, 1)) {
        out = Element{Delta{v[0]}};
        return true;
    }
    if (kind == "box" && floats(1, 2)) {
        out = Element{Box{v[0], v[1]}};
        return true;
    }
    if (kind == "hat" && floats(1, 3)) {
        out = Element{Hat{v[0], v[1], v[2]}};
        return true;
    }
    if (kind == "shaped" && n == 4) {
        std::vector<std::vector<double>> rows;
        if (!read_rows(PyTuple_GET_ITEM(object, 1), argument, rows) || !floats(2, 2)) return false;
        std::vector<Segment> segments;
        for (const auto& r : rows) {
            if (r.size() != 6) {
                PyErr_SetString(PyExc_ValueError, "segments need 6 columns");
                return false;
            }
            segments.push_back({r[0], r[1], r[2], r[3], r[4], r[5]});
        }
        return finish(place(Shape::make(std::move(segments)), v[0], v[1]), out);
    }
    if (kind == "linear" && n == 5) {
        std::vector<double> x, y;
        if (!read_vec(PyTuple_GET_ITEM(object, 1), argument, x) || !read_vec(PyTuple_GET_ITEM(object, 2), argument, y) ||
            !floats(3, 2))
            return false;
        return finish(place(Shape::piecewise_linear(x, y), v[0], v[1]), out);
    }
    if (kind == "trapezoid" && floats(1, 4)) return finish(place(Shape::trapezoid(v[0], v[1]), v[2], v[3]), out);
    if (kind == "mapped" && n == 8) {
        std::string map;
        Element inner;
        bool jacobian = false;
        if (!to_string(PyTuple_GET_ITEM(object, 1), argument, map) || !floats(2, 2) ||
            !to_element(PyTuple_GET_ITEM(object, 4), argument, inner) || !item_f64(object, 5, v[2]) ||
            !item_f64(object, 6, v[3]) || !to_bool(PyTuple_GET_ITEM(object, 7), argument, jacobian))
            return false;
        const MapKind map_kind = map == "reciprocal" ? MapKind::Reciprocal : MapKind::Affine;
        out = Element{Mapped{map_kind, v[0], v[1], std::make_shared<const Element>(std::move(inner)), v[2], v[3], jacobian}};
        return true;
    }
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "argument '%s': unknown element description", argument);
    return false;
}

bool to_elements(PyObject* object, const char* argument, std::vector<Element>& out) {
    return to_list(object, argument, out, to_element);
}

template <class F>
PyObject* values_at(const std::vector<double>& x, F value) {
    std::vector<double> y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = value(x[i]);
    return vector_array(y);
}

PyObject* indices_list(const std::vector<std::uint64_t>& indices) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(indices.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < indices.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLongLong(indices[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// A string-valued rendering of one converted argument.
template <class T, class Convert, class Render>
PyObject* rendered(PyObject* arg, const char* name, Convert convert, Render render) {
    return guarded([&]() -> PyObject* {
        T value;
        if (!convert(arg, name, value)) return nullptr;
        const std::string text = render(value);
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    });
}

PyObject* t_decimal(PyObject*, PyObject* arg) {
    return rendered<double>(arg, "value", to_f64, [](double v) { return decimal(v); });
}
PyObject* t_exponent(PyObject*, PyObject* arg) {
    return rendered<double>(arg, "value", to_f64, [](double v) { return exponent(v); });
}
PyObject* t_structural(PyObject*, PyObject* arg) {
    return rendered<double>(arg, "value", to_f64, [](double v) { return structural(v); });
}
PyObject* t_quoted(PyObject*, PyObject* arg) {
    return rendered<std::string>(arg, "text", to_string, [](const std::string& s) { return quoted(s); });
}

// structural_record(kind, names, values) -> "Kind { name: value, ... }"
PyObject* t_structural_record(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"structural_record", {"kind", "names", "values"}};
        std::string kind;
        std::vector<std::string> names;
        std::vector<double> values;
        if (!a.read(args, nargs, kw) || !to_string(a[0], "kind", kind) || !to_list(a[1], "names", names, to_string) ||
            !to_list(a[2], "values", values, to_f64))
            return nullptr;
        StructuralWriter writer(kind);
        for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) writer.field(names[i], values[i]);
        return PyUnicode_FromString(writer.finish().c_str());
    });
}

// element_values(element, x) -> values at x
PyObject* t_element_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"element_values", {"element", "x"}};
        Element e;
        std::vector<double> x;
        if (!a.read(args, nargs, kw) || !to_element(a[0], "element", e) || !read_vec(a[1], "x", x)) return nullptr;
        return values_at(x, [&](double v) { return evaluate(e, v); });
    });
}

// element_info(element) -> (lo, hi, center)
PyObject* t_element_info(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        Element e;
        if (!to_element(arg, "element", e)) return nullptr;
        const Support s = support(e);
        return Py_BuildValue("(ddd)", s.lo, s.hi, center(e));
    });
}

// element_knots(element, lo, hi) -> list of breakpoints in push order
PyObject* t_element_knots(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"element_knots", {"element", "lo", "hi"}};
        Element e;
        double lo, hi;
        if (!a.read(args, nargs, kw) || !to_element(a[0], "element", e) || !to_f64(a[1], "lo", lo) ||
            !to_f64(a[2], "hi", hi))
            return nullptr;
        std::vector<double> knots;
        push_knots(e, knots, lo, hi);
        return vector_array(knots);
    });
}

// derivative_values(element, order, x) -> values of the derivative element at x
PyObject* t_derivative_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"derivative_values", {"element", "order", "x"}};
        Element e;
        std::uint64_t order;
        std::vector<double> x;
        if (!a.read(args, nargs, kw) || !to_element(a[0], "element", e) || !to_u64(a[1], "order", order) ||
            !read_vec(a[2], "x", x))
            return nullptr;
        auto d = derivative(e, order);
        if (!d) return raise_error(d.error());
        return values_at(x, [&](double v) { return evaluate(d.value(), v); });
    });
}

// check_table(x, y) -> None
PyObject* t_check_table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"check_table", {"x", "y"}};
        std::vector<double> x, y;
        if (!a.read(args, nargs, kw) || !read_vec(a[0], "x", x) || !read_vec(a[1], "y", y)) return nullptr;
        auto status = check_table(x, y);
        if (!status) return raise_error(status.error());
        Py_RETURN_NONE;
    });
}

// fit_polynomial(s, y) -> four coefficients
PyObject* t_fit_polynomial(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"fit_polynomial", {"s", "y"}};
        std::vector<double> s, y;
        if (!a.read(args, nargs, kw) || !read_vec(a[0], "s", s) || !read_vec(a[1], "y", y)) return nullptr;
        if (s.size() != y.size() || s.empty() || s.size() > 4) {
            PyErr_SetString(PyExc_ValueError, "fit_polynomial takes 1 to 4 points");
            return nullptr;
        }
        const Cubic d = fit_polynomial(s.data(), y.data(), s.size());
        return vector_array({d.d[0], d.d[1], d.d[2], d.d[3]});
    });
}

// space_index(elements) -> (lower, upper, order, sorted_lower, max_width, wide)
PyObject* t_space_index(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::vector<Element> elements;
        if (!to_elements(arg, "elements", elements)) return nullptr;
        const Space space = Space::make(std::move(elements));
        const SupportIndex& s = space.index();
        return Py_BuildValue("(NNNNdN)", vector_array(s.lower), vector_array(s.upper), indices_list(s.order),
                             vector_array(s.sorted_lower), s.max_width, indices_list(s.wide));
    });
}

}  // namespace

// A core space from a Space object of the public module or from a list of element tuples.
bool to_core_space(PyObject* object, std::shared_ptr<const Space>& out) {
    PyRef module(PyImport_ImportModule("spanlet._spanlet"));
    if (!module) return false;
    PyRef type(PyObject_GetAttrString(module.get(), "Space"));
    if (!type) return false;
    if (PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type.get()))) {
        out = reinterpret_cast<SpaceObject*>(object)->value;
        return true;
    }
    std::vector<Element> elements;
    if (!to_elements(object, "space", elements)) return false;
    out = std::make_shared<const Space>(Space::make(std::move(elements)));
    return true;
}

namespace {

// space_values(space, x) -> (elements, points) array of element values
PyObject* t_space_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"space_values", {"space", "x"}};
        std::shared_ptr<const Space> space;
        std::vector<double> x;
        if (!a.read(args, nargs, kw) || !to_core_space(a[0], space) || !read_vec(a[1], "x", x)) return nullptr;
        std::vector<double> values(space->size() * x.size());
        for (std::size_t i = 0; i < space->size(); ++i)
            for (std::size_t j = 0; j < x.size(); ++j) values[i * x.size() + j] = evaluate(space->elements()[i], x[j]);
        return array2(values, space->size(), x.size());
    });
}

// space_candidates(space, lo, hi) -> ascending list of element indices
PyObject* t_space_candidates(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"space_candidates", {"space", "lo", "hi"}};
        std::shared_ptr<const Space> space;
        double lo, hi;
        if (!a.read(args, nargs, kw) || !to_core_space(a[0], space) || !to_f64(a[1], "lo", lo) ||
            !to_f64(a[2], "hi", hi))
            return nullptr;
        std::vector<std::uint64_t> out;
        candidates(*space, out, lo, hi);
        return indices_list(out);
    });
}

// space_overlaps(space, lows, highs) -> for each query in turn, through one OverlapCounter, the
// number of elements overlapping [lows[k], highs[k]] over more than a point
PyObject* t_space_overlaps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"space_overlaps", {"space", "lows", "highs"}};
        std::shared_ptr<const Space> space;
        std::vector<double> lows, highs;
        if (!a.read(args, nargs, kw) || !to_core_space(a[0], space) || !read_vec(a[1], "lows", lows) ||
            !read_vec(a[2], "highs", highs))
            return nullptr;
        OverlapCounter overlapping(*space);
        std::vector<std::uint64_t> counts;
        for (std::size_t k = 0; k < std::min(lows.size(), highs.size()); ++k)
            counts.push_back(overlapping.count(lows[k], highs[k]));
        return indices_list(counts);
    });
}

// space_knots(space, index, lo, hi) -> breakpoints of one element of a space
PyObject* t_space_knots(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<4> a{"space_knots", {"space", "index", "lo", "hi"}};
        std::shared_ptr<const Space> space;
        std::uint64_t index;
        double lo, hi;
        if (!a.read(args, nargs, kw) || !to_core_space(a[0], space) || !to_u64(a[1], "index", index) ||
            !to_f64(a[2], "lo", lo) || !to_f64(a[3], "hi", hi))
            return nullptr;
        if (index >= space->size()) {
            PyErr_SetString(PyExc_IndexError, "element index out of range");
            return nullptr;
        }
        std::vector<double> knots;
        push_knots(space->elements()[index], knots, lo, hi);
        return vector_array(knots);
    });
}

// Converters exercised directly: convert(kind, value) applies one declared-type converter.
PyObject* t_convert(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"convert", {"kind", "value"}};
        std::string kind;
        if (!a.read(args, nargs, kw) || !to_string(a[0], "kind", kind)) return nullptr;
        PyObject* v = a[1];
        if (kind == "u64") {
            std::uint64_t out;
            return to_u64(v, "value", out) ? PyLong_FromUnsignedLongLong(out) : nullptr;
        }
        if (kind == "f64") {
            double out;
            return to_f64(v, "value", out) ? PyFloat_FromDouble(out) : nullptr;
        }
        if (kind == "bool") {
            bool out;
            return to_bool(v, "value", out) ? PyBool_FromLong(out) : nullptr;
        }
        if (kind == "str") {
            std::string out;
            return to_string(v, "value", out) ? PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())) : nullptr;
        }
        if (kind == "vec") {
            std::vector<double> out;
            return read_vec(v, "value", out) ? vector_array(out) : nullptr;
        }
        if (kind == "rows") {
            std::vector<std::vector<double>> rows;
            if (!read_rows(v, "value", rows)) return nullptr;
            std::vector<double> flat;
            for (const auto& r : rows) flat.insert(flat.end(), r.begin(), r.end());
            return array2(flat, rows.size(), rows.empty() ? 0 : rows[0].size());
        }
        if (kind == "u64_list") {
            std::vector<std::uint64_t> out;
            return to_list(v, "value", out, to_u64) ? indices_list(out) : nullptr;
        }
        if (kind == "pair") {
            std::vector<PyObject*> items;
            double lo, hi;
            if (!tuple_items(v, "value", 2, items) || !to_f64(items[0], "value", lo) || !to_f64(items[1], "value", hi))
                return nullptr;
            return Py_BuildValue("(dd)", lo, hi);
        }
        if (kind == "optional_f64") {
            bool present;
            double out;
            if (!to_optional_f64(v, "value", present, out)) return nullptr;
            if (!present) Py_RETURN_NONE;
            return PyFloat_FromDouble(out);
        }
        PyErr_SetString(PyExc_ValueError, "unknown converter");
        return nullptr;
    });
}

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef element_test_methods[] = {
    {"decimal", t_decimal, METH_O, nullptr},
    {"exponent", t_exponent, METH_O, nullptr},
    {"structural", t_structural, METH_O, nullptr},
    {"quoted", t_quoted, METH_O, nullptr},
    {"structural_record", as_cfunction(t_structural_record), FAST, nullptr},
    {"element_values", as_cfunction(t_element_values), FAST, nullptr},
    {"element_info", t_element_info, METH_O, nullptr},
    {"element_knots", as_cfunction(t_element_knots), FAST, nullptr},
    {"derivative_values", as_cfunction(t_derivative_values), FAST, nullptr},
    {"check_table", as_cfunction(t_check_table), FAST, nullptr},
    {"fit_polynomial", as_cfunction(t_fit_polynomial), FAST, nullptr},
    {"space_index", t_space_index, METH_O, nullptr},
    {"space_values", as_cfunction(t_space_values), FAST, nullptr},
    {"space_candidates", as_cfunction(t_space_candidates), FAST, nullptr},
    {"space_overlaps", as_cfunction(t_space_overlaps), FAST, nullptr},
    {"space_knots", as_cfunction(t_space_knots), FAST, nullptr},
    {"convert", as_cfunction(t_convert), FAST, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
