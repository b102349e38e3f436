// PyAtom: one atom (three float32 coordinates and an atomic number) as an immutable Python value.
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

#include "python/binding/registry.hpp"

namespace molarium::python {
namespace {

using molarium::atom::Atom;

// The shortest decimal text that reads back as the same float32, written out without an exponent
// (1e20 as 100000000000000000000, 1e-7 as 0.0000001, 1.0 as 1), "-0" for negative zero, and
// NaN, inf, -inf for the special values.
std::string plain_shortest(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Scientific form gives the shortest round-trip digits; the fixed form would spell out the exact
  // binary value of large numbers (100000002004087734272 for 1e20) instead of padding with zeros.
  char buffer[32];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<std::size_t>(written.ptr - buffer));  // [-]d[.ddd]e(+|-)dd

  std::string out;
  if (text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  std::string_view exponent_text = text.substr(e + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

  // The value is 0.digits * 10^(exponent + 1): `point` digits stand before the decimal point.
  const long point = exponent + 1L;
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

// Computed entirely in float32. Each product goes through a volatile so that it is rounded to
// float32 before it is added: a fused multiply-add, which compilers may form from a*b + c, would
// round only once and give a different last bit.
float distance(const Atom& a, const Atom& b) {
  const float dx = a.x - b.x;
  const float dy = a.y - b.y;
  const float dz = a.z - b.z;
  const volatile float xx = dx * dx;
  const volatile float yy = dy * dy;
  const volatile float zz = dz * dz;
  float s = xx + yy;
  s = s + zz;
  return std::sqrt(s);
}

PyObject* atom_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr binding::Parameters<4> kParameters{"PyAtom", {"x", "y", "z", "atomic_number"}};
  auto bound = binding::bind_arguments(kParameters, args, kwargs);
  if (!bound) return nullptr;
  const auto& [x_arg, y_arg, z_arg, number_arg] = *bound;
  const auto x = binding::to_double(x_arg, "x");
  if (!x) return nullptr;
  const auto y = binding::to_double(y_arg, "y");
  if (!y) return nullptr;
  const auto z = binding::to_double(z_arg, "z");
  if (!z) return nullptr;
  const auto atomic_number = binding::to_u8(number_arg, "atomic_number");
  if (!atomic_number) return nullptr;
  const Atom atom{static_cast<float>(*x), static_cast<float>(*y), static_cast<float>(*z), *atomic_number};
  return binding::new_instance<Atom>(type, atom);
}

PyObject* atom_repr(PyObject* self) {
  const auto atom = binding::Shared<Atom>::take(self);
  if (!atom) return nullptr;
  const Atom& a = **atom;
  const std::string text = "Atom(x=" + plain_shortest(a.x) + ", y=" + plain_shortest(a.y) +
                           ", z=" + plain_shortest(a.z) + ", atomic_number=" + std::to_string(a.atomic_number) + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* atom_position(PyObject* self, PyObject*) {
  const auto atom = binding::Shared<Atom>::take(self);
  if (!atom) return nullptr;
  return Py_BuildValue("(ddd)", static_cast<double>((*atom)->x), static_cast<double>((*atom)->y),
                       static_cast<double>((*atom)->z));
}

PyObject* atom_atomic_number(PyObject* self, void*) {
  const auto atom = binding::Shared<Atom>::take(self);
  if (!atom) return nullptr;
  return PyLong_FromLong((*atom)->atomic_number);
}

PyObject* atom_distance_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<1> kParameters{"PyAtom.distance_to", {"other"}};
  auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  PyTypeObject* type = atom_type();
  if (type == nullptr) return nullptr;
  PyObject* other_object = binding::to_instance((*bound)[0], type, "other");
  if (other_object == nullptr) return nullptr;
  const auto atom = binding::Shared<Atom>::take(self);
  if (!atom) return nullptr;
  const auto other = binding::Shared<Atom>::take(other_object);
  if (!other) return nullptr;
  return PyFloat_FromDouble(static_cast<double>(distance(**atom, **other)));
}

PyMethodDef atom_methods[] = {
    {"position", binding::method_cast(binding::entry<atom_position>), METH_NOARGS,
     "position($self)\n--\n\nGet the position as a tuple (x, y, z)"},
    {"distance_to", binding::method_cast(binding::entry<atom_distance_to>), METH_FASTCALL | METH_KEYWORDS,
     "distance_to($self, other)\n--\n\nCalculate distance to another atom"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef atom_getset[] = {
    {"atomic_number", binding::entry<atom_atomic_number>, nullptr, "Get the atomic number", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot atom_slots[] = {
    {Py_tp_doc, const_cast<char*>("PyAtom(x, y, z, atomic_number)\n--\n\nPython wrapper for Atom")},
    {Py_tp_new, binding::slot_cast(binding::entry<atom_new>)},
    {Py_tp_dealloc, binding::slot_cast(&binding::dealloc_instance<Atom>)},
    {Py_tp_repr, binding::slot_cast(binding::entry<atom_repr>)},
    {Py_tp_methods, atom_methods},
    {Py_tp_getset, atom_getset},
    {0, nullptr},
};

PyType_Spec atom_spec = binding::class_spec<Atom>("molarium._molarium_rs.PyAtom", atom_slots);
binding::LazyClass atom_class(atom_spec);

}  // namespace

PyTypeObject* atom_type() { return atom_class.get(); }

PyObject* new_py_atom(const Atom& atom) {
  PyTypeObject* type = atom_type();
  if (type == nullptr) return nullptr;
  return binding::new_instance<Atom>(type, atom);
}

}  // namespace molarium::python
